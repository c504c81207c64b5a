// The memory of one simulated PLC: every area the driver addresses, reachable
// by segment selector in words, bytes or bits, all over the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plcsim {

enum class Area : uint8_t { R, AI, AQ, I, Q, T, M, G, SA, SB, SC, S };
inline constexpr std::size_t kAreaCount = 12;

// The unit in which a segment selector counts its index and length.
enum class Unit : uint8_t { Word, Byte, Bit };

struct AreaInfo {
  Area area;
  std::string_view name;  // "R", "AI", ... as in %R, %AI
  bool discrete;          // sized and referenced in bits; otherwise in 16-bit words
  uint8_t wordSelector;   // 0 where the area has none
  uint8_t byteSelector;   // 0 where the area has none
  uint8_t bitSelector;    // 0 where the area has none
  uint32_t defaultSize;   // words or bits
};

const AreaInfo& Info(Area area);
// "R", "%R", "ai", "%SA" ... (case-insensitive).
std::optional<Area> AreaByName(std::string_view name);

// What a segment selector names: an area and the unit of index and length.
struct Segment {
  Area area;
  Unit unit;
  bool operator==(const Segment&) const = default;
};
std::optional<Segment> DecodeSelector(uint8_t selector);
// "%R", "%M bytes", "%M bits", or "selector 0x63" for an unknown one.
std::string SelectorName(uint8_t selector);

// Sizes of the areas, indexed by Area: words for R, AI, AQ; bits for the rest.
using AreaSizes = std::array<uint32_t, kAreaCount>;
AreaSizes DefaultSizes();

class PlcMemory {
 public:
  // Discrete sizes are rounded up to whole bytes. With pattern, every byte
  // starts at InitialByte; otherwise at zero.
  explicit PlcMemory(const AreaSizes& sizes = DefaultSizes(), bool pattern = true);

  uint32_t Size(Area area) const;  // words or bits, as configured
  std::size_t ByteSize(Area area) const;

  // The initial content: %Rn holds n, %AIn 10000 + n, %AQn 20000 + n (modulo
  // 65536); byte j of a discrete area holds (157 j + 17 (k + 1)) mod 256, k
  // being the area's position in Area, so neighbouring areas differ.
  static uint8_t InitialByte(Area area, std::size_t byteIndex);

  // Access as the line sees it. DataLength is the number of data bytes an
  // access of that many units carries: 2 per word, 1 per byte, and for bits
  // every byte that holds one of them (data byte 0 is the byte holding the
  // first bit, each bit at its own position in its byte).
  static std::size_t DataLength(Segment segment, uint32_t index, uint32_t length);
  bool Fits(Segment segment, uint32_t index, uint32_t length) const;
  std::vector<uint8_t> Read(Segment segment, uint32_t index, uint32_t length) const;
  // Changes only the addressed units; data holds DataLength bytes.
  void Write(Segment segment, uint32_t index, uint32_t length, std::span<const uint8_t> data);

  // Direct access, 0-based, for tests and presets. Words are two bytes, low
  // byte first, in every area (a discrete area's word k holds bits 16k..16k+15).
  // Out-of-range indexes throw std::out_of_range.
  uint16_t Word(Area area, std::size_t index) const;
  void SetWord(Area area, std::size_t index, uint16_t value);
  uint8_t Byte(Area area, std::size_t index) const;
  void SetByte(Area area, std::size_t index, uint8_t value);
  bool Bit(Area area, std::size_t index) const;
  void SetBit(Area area, std::size_t index, bool value);

 private:
  std::array<std::vector<uint8_t>, kAreaCount> bytes_;
  AreaSizes sizes_;
};

// A PLC reference such as "%R1", "R1", "AI3", "M17" (1-based, as on the PLC):
// a word of a word area, a bit of a discrete area.
struct Reference {
  Area area;
  std::size_t index;  // 0-based word (word areas) or bit (discrete areas)
  bool operator==(const Reference&) const = default;
};
std::optional<Reference> ParseReference(std::string_view text);
std::string FormatReference(const Reference& reference);  // "%R1"

}  // namespace plcsim
