// PLC memory: selectors, the three access widths over the same bytes, range
// checks, the initial pattern and PLC references.
#include <gtest/gtest.h>

#include <set>

#include "sim/memory.h"

namespace plcsim {
namespace {

struct SelectorCase {
  uint8_t selector;
  Area area;
  Unit unit;
};

TEST(Selectors, EveryAreaIsReachedByItsSelectors) {
  const SelectorCase cases[] = {
      {8, Area::R, Unit::Word},    {10, Area::AI, Unit::Word},  {12, Area::AQ, Unit::Word},
      {16, Area::I, Unit::Byte},   {18, Area::Q, Unit::Byte},   {20, Area::T, Unit::Byte},
      {22, Area::M, Unit::Byte},   {24, Area::SA, Unit::Byte},  {26, Area::SB, Unit::Byte},
      {28, Area::SC, Unit::Byte},  {30, Area::S, Unit::Byte},   {56, Area::G, Unit::Byte},
      {70, Area::I, Unit::Bit},    {72, Area::Q, Unit::Bit},    {74, Area::T, Unit::Bit},
      {76, Area::M, Unit::Bit},    {78, Area::SA, Unit::Bit},   {80, Area::SB, Unit::Bit},
      {82, Area::SC, Unit::Bit},   {84, Area::S, Unit::Bit},    {86, Area::G, Unit::Bit},
  };
  std::set<int> known;
  for (const SelectorCase& c : cases) {
    const auto segment = DecodeSelector(c.selector);
    ASSERT_TRUE(segment.has_value()) << int{c.selector};
    EXPECT_EQ(*segment, (Segment{c.area, c.unit})) << int{c.selector};
    known.insert(c.selector);
  }
  for (int selector = 0; selector < 256; ++selector) {
    if (!known.count(selector)) {
      EXPECT_FALSE(DecodeSelector(static_cast<uint8_t>(selector))) << selector;
    }
  }
}

TEST(Memory, WordsBytesAndBitsOfADiscreteAreaAreTheSameMemory) {
  for (Area area : {Area::I, Area::Q, Area::T, Area::M, Area::G, Area::SA, Area::SB, Area::SC, Area::S}) {
    SCOPED_TRACE(std::string(Info(area).name));
    PlcMemory memory(DefaultSizes(), false);
    const Segment bytes{area, Unit::Byte};
    const Segment bits{area, Unit::Bit};
    // %X17..%X32 is the driver's element 1: bytes 2 and 3, bits 16..31.
    const uint8_t word[] = {0x34, 0x12};
    memory.Write(bytes, 2, 2, word);
    EXPECT_EQ(memory.Word(area, 1), 0x1234);
    for (uint32_t bit = 16; bit < 32; ++bit) {
      const bool expected = (0x1234 >> (bit - 16)) & 1;
      EXPECT_EQ(memory.Bit(area, bit), expected) << bit;
      const std::vector<uint8_t> data = memory.Read(bits, bit, 1);
      ASSERT_EQ(data.size(), 1u);
      EXPECT_EQ((data[0] >> (bit % 8)) & 1, expected) << bit;
    }
    const uint8_t one = 0x08;  // bit 19 = bit 3 of byte 2
    memory.Write(bits, 19, 1, std::span(&one, 1));
    EXPECT_EQ(memory.Word(area, 1), 0x123C);
    const uint8_t zero = 0xF7;  // every bit but bit 3: only bit 19 counts, and it is 0
    memory.Write(bits, 19, 1, std::span(&zero, 1));
    EXPECT_EQ(memory.Word(area, 1), 0x1234);
    memory.SetWord(area, 1, 0xBEEF);
    EXPECT_EQ(memory.Read(bytes, 2, 2), (std::vector<uint8_t>{0xEF, 0xBE}));
  }
}

TEST(Memory, WordAreasReadAndWriteLowByteFirst) {
  for (Area area : {Area::R, Area::AI, Area::AQ}) {
    PlcMemory memory(DefaultSizes(), false);
    const uint8_t data[] = {0x34, 0x12, 0x78, 0x56};
    memory.Write({area, Unit::Word}, 9, 2, data);
    EXPECT_EQ(memory.Word(area, 9), 0x1234);
    EXPECT_EQ(memory.Word(area, 10), 0x5678);
    EXPECT_EQ(memory.Byte(area, 18), 0x34);
    EXPECT_TRUE(memory.Bit(area, 9 * 16 + 2));  // 0x1234 has bit 2 set
    EXPECT_EQ(memory.Read({area, Unit::Word}, 9, 2), std::vector<uint8_t>(data, data + 4));
  }
}

TEST(Memory, BitRunsCarryEveryByteTheyTouchAndChangeOnlyTheirBits) {
  PlcMemory memory(DefaultSizes(), false);
  const Segment bits{Area::M, Unit::Bit};
  EXPECT_EQ(PlcMemory::DataLength(bits, 6, 4), 2u);   // bits 6..9: bytes 0 and 1
  EXPECT_EQ(PlcMemory::DataLength(bits, 8, 8), 1u);   // bits 8..15: byte 1
  EXPECT_EQ(PlcMemory::DataLength(bits, 37, 1), 1u);
  const uint8_t ones[] = {0xFF, 0xFF};
  memory.Write(bits, 6, 4, ones);
  EXPECT_EQ(memory.Byte(Area::M, 0), 0xC0);
  EXPECT_EQ(memory.Byte(Area::M, 1), 0x03);
  EXPECT_EQ(memory.Read(bits, 6, 4), (std::vector<uint8_t>{0xC0, 0x03}));
}

struct RangeCase {
  Segment segment;
  uint32_t index;
  uint32_t length;
  bool fits;
};

TEST(Memory, AccessesMustFitTheirArea) {
  AreaSizes sizes = DefaultSizes();
  sizes[static_cast<std::size_t>(Area::R)] = 100;  // words
  sizes[static_cast<std::size_t>(Area::S)] = 128;  // bits = 16 bytes
  const PlcMemory memory(sizes);
  const RangeCase cases[] = {
      {{Area::R, Unit::Word}, 0, 100, true},   {{Area::R, Unit::Word}, 99, 1, true},
      {{Area::R, Unit::Word}, 99, 2, false},   {{Area::R, Unit::Word}, 100, 1, false},
      {{Area::R, Unit::Word}, 65535, 65535, false},
      {{Area::S, Unit::Byte}, 14, 2, true},    {{Area::S, Unit::Byte}, 15, 2, false},
      {{Area::S, Unit::Bit}, 127, 1, true},    {{Area::S, Unit::Bit}, 128, 1, false},
      {{Area::M, Unit::Word}, 0, 1, false},  // a discrete area has no word selector
  };
  for (const RangeCase& c : cases) {
    EXPECT_EQ(memory.Fits(c.segment, c.index, c.length), c.fits) << c.index << "+" << c.length;
  }
  EXPECT_THROW(memory.Read({Area::R, Unit::Word}, 100, 1), std::out_of_range);
  EXPECT_THROW(memory.Word(Area::R, 100), std::out_of_range);
}

TEST(Memory, InitialPatternIsReadableAndDiffersBetweenAreas) {
  const PlcMemory memory;
  EXPECT_EQ(memory.Word(Area::R, 0), 1);  // %R1
  EXPECT_EQ(memory.Word(Area::R, 99), 100);
  EXPECT_EQ(memory.Word(Area::AI, 0), 10001);
  EXPECT_EQ(memory.Word(Area::AQ, 4), 20005);
  std::set<std::vector<uint8_t>> starts;
  for (Area area : {Area::I, Area::Q, Area::T, Area::M, Area::G, Area::SA, Area::SB, Area::SC, Area::S}) {
    starts.insert(memory.Read({area, Unit::Byte}, 0, 4));
    for (std::size_t j = 0; j < 16; ++j) EXPECT_EQ(memory.Byte(area, j), PlcMemory::InitialByte(area, j));
  }
  EXPECT_EQ(starts.size(), 9u);
  const PlcMemory zero(DefaultSizes(), false);
  EXPECT_EQ(zero.Word(Area::R, 0), 0);
  EXPECT_EQ(zero.Byte(Area::M, 3), 0);
}

TEST(Memory, SizesComeFromTheConfiguration) {
  AreaSizes sizes = DefaultSizes();
  sizes[static_cast<std::size_t>(Area::AI)] = 10;
  sizes[static_cast<std::size_t>(Area::T)] = 20;  // rounded up to whole bytes
  const PlcMemory memory(sizes);
  EXPECT_EQ(memory.Size(Area::AI), 10u);
  EXPECT_EQ(memory.ByteSize(Area::AI), 20u);
  EXPECT_EQ(memory.Size(Area::T), 24u);
  EXPECT_EQ(memory.ByteSize(Area::T), 3u);
  EXPECT_EQ(memory.Size(Area::R), 16384u);
}

struct ReferenceCase {
  const char* text;
  std::optional<Reference> reference;
};

TEST(References, ParseAsOnThePlc) {
  const ReferenceCase cases[] = {
      {"%R1", Reference{Area::R, 0}},     {"R1", Reference{Area::R, 0}},
      {"ai3", Reference{Area::AI, 2}},    {"%AQ100", Reference{Area::AQ, 99}},
      {"M17", Reference{Area::M, 16}},    {"%SA2", Reference{Area::SA, 1}},
      {"S128", Reference{Area::S, 127}},  {"G1", Reference{Area::G, 0}},
      {"R0", std::nullopt},               {"R", std::nullopt},
      {"X1", std::nullopt},               {"R1x", std::nullopt},
      {"", std::nullopt},                 {"%", std::nullopt},
  };
  for (const ReferenceCase& c : cases) EXPECT_EQ(ParseReference(c.text), c.reference) << c.text;
  EXPECT_EQ(FormatReference({Area::SB, 4}), "%SB5");
}

}  // namespace
}  // namespace plcsim
