#include "sim/memory.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace plcsim {
namespace {

// Word areas have a word selector; discrete areas a byte and a bit selector.
constexpr std::array<AreaInfo, kAreaCount> kAreas{{
    {Area::R, "R", false, 8, 0, 0, 16384},
    {Area::AI, "AI", false, 10, 0, 0, 4096},
    {Area::AQ, "AQ", false, 12, 0, 0, 4096},
    {Area::I, "I", true, 0, 16, 70, 2048},
    {Area::Q, "Q", true, 0, 18, 72, 2048},
    {Area::T, "T", true, 0, 20, 74, 1024},
    {Area::M, "M", true, 0, 22, 76, 8192},
    {Area::G, "G", true, 0, 56, 86, 7680},
    {Area::SA, "SA", true, 0, 24, 78, 128},
    {Area::SB, "SB", true, 0, 26, 80, 128},
    {Area::SC, "SC", true, 0, 28, 82, 128},
    {Area::S, "S", true, 0, 30, 84, 128},
}};

constexpr bool AreasInOrder() {
  for (std::size_t k = 0; k < kAreaCount; ++k) {
    if (static_cast<std::size_t>(kAreas[k].area) != k) return false;
  }
  return true;
}
static_assert(AreasInOrder(), "the area table is indexed by Area");

std::size_t Index(Area area) { return static_cast<std::size_t>(area); }

uint32_t RoundedSize(const AreaInfo& info, uint32_t size) {
  return info.discrete ? (size + 7) / 8 * 8 : size;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

const AreaInfo& Info(Area area) { return kAreas.at(Index(area)); }

std::optional<Area> AreaByName(std::string_view name) {
  if (!name.empty() && name.front() == '%') name.remove_prefix(1);
  const std::string upper = Upper(name);
  for (const AreaInfo& info : kAreas) {
    if (upper == info.name) return info.area;
  }
  return std::nullopt;
}

std::optional<Segment> DecodeSelector(uint8_t selector) {
  if (selector == 0) return std::nullopt;  // 0 marks a selector an area lacks
  for (const AreaInfo& info : kAreas) {
    if (info.wordSelector == selector) return Segment{info.area, Unit::Word};
    if (info.byteSelector == selector) return Segment{info.area, Unit::Byte};
    if (info.bitSelector == selector) return Segment{info.area, Unit::Bit};
  }
  return std::nullopt;
}

std::string SelectorName(uint8_t selector) {
  const auto segment = DecodeSelector(selector);
  if (!segment) {
    char text[32];
    std::snprintf(text, sizeof text, "selector 0x%02X", selector);
    return text;
  }
  std::string name = "%" + std::string(Info(segment->area).name);
  if (segment->unit == Unit::Byte) name += " bytes";
  if (segment->unit == Unit::Bit) name += " bits";
  return name;
}

AreaSizes DefaultSizes() {
  AreaSizes sizes{};
  for (const AreaInfo& info : kAreas) sizes[Index(info.area)] = info.defaultSize;
  return sizes;
}

PlcMemory::PlcMemory(const AreaSizes& sizes, bool pattern) {
  for (const AreaInfo& info : kAreas) {
    const std::size_t k = Index(info.area);
    sizes_[k] = RoundedSize(info, sizes[k]);
    bytes_[k].assign(info.discrete ? sizes_[k] / 8 : std::size_t{sizes_[k]} * 2, 0);
    if (pattern) {
      for (std::size_t j = 0; j < bytes_[k].size(); ++j) bytes_[k][j] = InitialByte(info.area, j);
    }
  }
}

uint32_t PlcMemory::Size(Area area) const { return sizes_[Index(area)]; }

std::size_t PlcMemory::ByteSize(Area area) const { return bytes_[Index(area)].size(); }

uint8_t PlcMemory::InitialByte(Area area, std::size_t byteIndex) {
  const AreaInfo& info = Info(area);
  if (!info.discrete) {
    const uint32_t base = area == Area::R ? 0 : area == Area::AI ? 10000 : 20000;
    const auto word = static_cast<uint16_t>(base + byteIndex / 2 + 1);
    return static_cast<uint8_t>(byteIndex % 2 == 0 ? word & 0xFF : word >> 8);
  }
  return static_cast<uint8_t>(157 * byteIndex + 17 * (Index(area) + 1));
}

std::size_t PlcMemory::DataLength(Segment segment, uint32_t index, uint32_t length) {
  if (length == 0) return 0;
  switch (segment.unit) {
    case Unit::Word:
      return std::size_t{length} * 2;
    case Unit::Byte:
      return length;
    case Unit::Bit:
      return (uint64_t{index} + length - 1) / 8 - index / 8 + 1;
  }
  return 0;
}

bool PlcMemory::Fits(Segment segment, uint32_t index, uint32_t length) const {
  const std::size_t k = Index(segment.area);
  const uint64_t end = uint64_t{index} + length;
  switch (segment.unit) {
    case Unit::Word:
      return !Info(segment.area).discrete && end <= sizes_[k];
    case Unit::Byte:
      return end <= bytes_[k].size();
    case Unit::Bit:
      return end <= uint64_t{bytes_[k].size()} * 8;
  }
  return false;
}

std::vector<uint8_t> PlcMemory::Read(Segment segment, uint32_t index, uint32_t length) const {
  if (length == 0 || !Fits(segment, index, length)) throw std::out_of_range("plcsim: read outside the area");
  const std::vector<uint8_t>& area = bytes_[Index(segment.area)];
  const std::size_t first = segment.unit == Unit::Word ? std::size_t{index} * 2
                            : segment.unit == Unit::Byte ? index
                                                         : index / 8;
  const std::size_t count = DataLength(segment, index, length);
  return {area.begin() + static_cast<std::ptrdiff_t>(first),
          area.begin() + static_cast<std::ptrdiff_t>(first + count)};
}

void PlcMemory::Write(Segment segment, uint32_t index, uint32_t length, std::span<const uint8_t> data) {
  if (length == 0 || !Fits(segment, index, length) || data.size() < DataLength(segment, index, length)) {
    throw std::out_of_range("plcsim: write outside the area");
  }
  std::vector<uint8_t>& area = bytes_[Index(segment.area)];
  switch (segment.unit) {
    case Unit::Word:
      std::copy(data.begin(), data.begin() + std::ptrdiff_t{length} * 2, area.begin() + std::ptrdiff_t{index} * 2);
      return;
    case Unit::Byte:
      std::copy(data.begin(), data.begin() + length, area.begin() + index);
      return;
    case Unit::Bit:
      for (uint64_t bit = index; bit < uint64_t{index} + length; ++bit) {
        const bool value = (data[bit / 8 - index / 8] >> (bit % 8)) & 1;
        uint8_t& byte = area[bit / 8];
        byte = static_cast<uint8_t>(value ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
      }
      return;
  }
}

uint16_t PlcMemory::Word(Area area, std::size_t index) const {
  const std::vector<uint8_t>& bytes = bytes_[Index(area)];
  if (index >= bytes.size() / 2) throw std::out_of_range("plcsim: word outside the area");
  return static_cast<uint16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

void PlcMemory::SetWord(Area area, std::size_t index, uint16_t value) {
  std::vector<uint8_t>& bytes = bytes_[Index(area)];
  if (index >= bytes.size() / 2) throw std::out_of_range("plcsim: word outside the area");
  bytes[2 * index] = static_cast<uint8_t>(value & 0xFF);
  bytes[2 * index + 1] = static_cast<uint8_t>(value >> 8);
}

uint8_t PlcMemory::Byte(Area area, std::size_t index) const { return bytes_[Index(area)].at(index); }

void PlcMemory::SetByte(Area area, std::size_t index, uint8_t value) { bytes_[Index(area)].at(index) = value; }

bool PlcMemory::Bit(Area area, std::size_t index) const {
  return (bytes_[Index(area)].at(index / 8) >> (index % 8)) & 1;
}

void PlcMemory::SetBit(Area area, std::size_t index, bool value) {
  uint8_t& byte = bytes_[Index(area)].at(index / 8);
  const auto mask = static_cast<uint8_t>(1u << (index % 8));
  byte = static_cast<uint8_t>(value ? byte | mask : byte & ~mask);
}

std::optional<Reference> ParseReference(std::string_view text) {
  if (!text.empty() && text.front() == '%') text.remove_prefix(1);
  std::size_t letters = 0;
  while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters]))) ++letters;
  const auto area = AreaByName(text.substr(0, letters));
  const std::string_view digits = text.substr(letters);
  if (!area || digits.empty()) return std::nullopt;
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || number == 0) return std::nullopt;
  return Reference{*area, number - 1};
}

std::string FormatReference(const Reference& reference) {
  return "%" + std::string(Info(reference.area).name) + std::to_string(reference.index + 1);
}

}  // namespace plcsim
