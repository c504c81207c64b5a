// Access descriptors, the unpacking of read data into host values and the
// byte count of write data: pure rules, table-driven.
#include <gtest/gtest.h>

#include <array>

#include "exchange/access.h"
#include "tests/support/fake_line.h"

namespace {

struct Descriptor {
  int selector, mode, index, length, bit;
  bool operator==(const Descriptor&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Descriptor& d) {
  return out << "{selector " << d.selector << ", mode " << d.mode << ", index " << d.index << ", length " << d.length
             << ", bit " << d.bit << "}";
}

Descriptor Of(const AccessDescriptor& a) { return {a.selector, a.mode, a.index, a.length, a.bit}; }

TagRecord Tag(char area, int32_t element, int32_t count, int32_t bit) {
  TagRecord tag{};
  tag.area = area;
  tag.element = element;
  tag.count = count;
  tag.bit = bit;
  tag.width = area == 'F' ? 32 : 16;
  return tag;
}

TEST(BuildAccess, EveryAreaElement3Count4Bit5) {
  struct Case {
    char area;
    Descriptor word;
    Descriptor bit;
  } const cases[] = {
      {'R', {8, 5, 3, 4, 255}, {8, 5, 3, 1, 5}},
      {'L', {10, 5, 3, 4, 255}, {10, 5, 3, 1, 5}},
      {'O', {12, 5, 3, 4, 255}, {12, 5, 3, 1, 5}},
      {'F', {8, 7, 6, 8, 255}, {}},
      {'I', {16, 5, 6, 8, 255}, {70, 9, 53, 1, 5}},
      {'Q', {18, 5, 6, 8, 255}, {72, 9, 53, 1, 5}},
      {'T', {20, 5, 6, 8, 255}, {74, 9, 53, 1, 5}},
      {'M', {22, 5, 6, 8, 255}, {76, 9, 53, 1, 5}},
      {'G', {56, 5, 6, 8, 255}, {86, 9, 53, 1, 5}},
      {'A', {24, 5, 6, 8, 255}, {78, 9, 53, 1, 5}},
      {'B', {26, 5, 6, 8, 255}, {80, 9, 53, 1, 5}},
      {'C', {28, 5, 6, 8, 255}, {82, 9, 53, 1, 5}},
      {'D', {30, 5, 6, 8, 255}, {84, 9, 53, 1, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.area);
    const TagRecord tag = Tag(c.area, 3, 4, 5);
    AccessDescriptor access{};
    BuildWordAccess(&tag, &access);
    EXPECT_EQ(Of(access), c.word);
    if (c.area == 'F') continue;  // a 32-bit value never has a bit access
    access = {};
    BuildBitAccess(&tag, &access);
    EXPECT_EQ(Of(access), c.bit);
  }
}

TEST(BuildAccess, IndexAndLengthWrapModulo65536) {
  struct Case {
    char area;
    int32_t element, count, bit;
    bool bitAccess;
    int index, length;
  } const cases[] = {
      {'R', 99998, 1, kNoBit, false, 99998 - 65536, 1},
      {'F', 49999, 1, kNoBit, false, 99998 - 65536, 2},
      {'I', 40000, 40000, 0, false, 80000 - 65536, 80000 - 65536},
      {'M', 6249, 1, 14, true, 99998 - 65536, 1},  // %M99999
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.area);
    const TagRecord tag = Tag(c.area, c.element, c.count, c.bit);
    AccessDescriptor access{};
    if (c.bitAccess) {
      BuildBitAccess(&tag, &access);
    } else {
      BuildWordAccess(&tag, &access);
    }
    EXPECT_EQ(access.index, c.index);
    EXPECT_EQ(access.length, c.length);
  }
}

TEST(UnpackReadData, StoresByModeSelectorLengthAndBit) {
  struct Case {
    const char* name;
    AccessDescriptor access;
    const char* data;
    std::vector<uint16_t> values;  // what lands from value 0 on; the rest stays
  } const cases[] = {
      {"bit: bit 10 is bit 2 of byte 0", {76, kModeBit, 42, 1, 10}, "04", {1}},
      {"bit: other bits clear", {76, kModeBit, 42, 1, 10}, "FB", {0}},
      {"bit 0", {70, kModeBit, 0, 1, 0}, "01 FF", {1}},
      {"word, bit 3 set", {8, kModeWord, 0, 1, 3}, "08 00", {1}},
      {"word, bit 3 clear", {8, kModeWord, 0, 1, 3}, "F7 FF", {0}},
      {"word, bit 11 in the high byte", {10, kModeWord, 0, 1, 11}, "00 08", {1}},
      {"word, no bit", {8, kModeWord, 0, 1, kNoBit}, "08 00", {0x0008}},
      {"three words", {12, kModeWord, 0, 3, kNoBit}, "01 02 03 04 05 06", {0x0201, 0x0403, 0x0605}},
      {"byte selector, 2 bytes", {16, kModeWord, 0, 2, kNoBit}, "34 12", {0x1234}},
      {"byte selector, odd length rounds down", {56, kModeWord, 0, 3, kNoBit}, "34 12 56", {0x1234}},
      {"double word, 4 words", {8, kModeDoubleWord, 0, 4, kNoBit}, "01 02 03 04 05 06 07 08",
       {0x0201, 0x0403, 0x0605, 0x0807}},
      {"unknown mode stores nothing", {8, 6, 0, 1, kNoBit}, "01 02", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<uint16_t, 8> values;
    values.fill(0xEEEE);
    Bytes data = Hex(c.data);
    data.resize(16, 0xCC);
    UnpackReadData(&c.access, values.data(), data.data());
    for (size_t k = 0; k < values.size(); ++k) {
      EXPECT_EQ(values[k], k < c.values.size() ? c.values[k] : 0xEEEE) << "value " << k;
    }
  }
}

TEST(WriteDataLength, ByModeAndSelectorIn16Bits) {
  struct Case {
    AccessDescriptor access;
    uint16_t bytes;
  } const cases[] = {
      {{76, kModeBit, 37, 7, 5}, 1},
      {{8, kModeWord, 0, 3, kNoBit}, 6},
      {{22, kModeWord, 0, 2, kNoBit}, 2},
      {{56, kModeWord, 0, 5, kNoBit}, 5},
      {{8, kModeDoubleWord, 0, 4, kNoBit}, 8},
      {{8, kModeWord, 0, 0x4000, kNoBit}, 0x8000},
      // Four times the length is cut to 16 bits before it is halved.
      {{8, kModeDoubleWord, 0, 0x4000, kNoBit}, 0},
      {{8, 6, 0, 3, kNoBit}, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WriteDataLength(&c.access), c.bytes) << "selector " << int{c.access.selector} << " mode "
                                                    << int{c.access.mode} << " length " << c.access.length;
  }
}

}  // namespace
