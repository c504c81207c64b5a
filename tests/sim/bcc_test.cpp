// The simulator's BCC against known values, and the driver-side frame
// builders of these tests against the frames the driver is known to send.
#include <gtest/gtest.h>

#include "sim/bcc.h"
#include "tests/sim/harness.h"

namespace simtest {
namespace {

struct BccCase {
  const char* name;
  Bytes bytes;
  uint8_t bcc;
};

TEST(Bcc, KnownValues) {
  const BccCase cases[] = {
      {"nothing", {}, 0x00},
      {"a", {0x61}, 0xC2},
      {"ab", {0x61, 0x62}, 0x41},
      {"abc", {0x61, 0x62, 0x63}, 0x44},
      {"attach ABC", Hex("1B 41 41 42 43 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00"), 0x11},
      {"attach of an empty ID", Hex("1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00"), 0x1A},
      {"broadcast attach", Hex("1B 58 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 17 00 00 00 00"), 0x79},
      {"text buffer 01..0A", Hex("1B 54 01 02 03 04 05 06 07 08 09 0A 17 00 00 00 00"), 0x90},
  };
  for (const BccCase& c : cases) EXPECT_EQ(plcsim::Bcc(c.bytes), c.bcc) << c.name;
}

TEST(Bcc, HexDigitsAreUpperCase) {
  const std::string digits = "0123456789ABCDEF";
  for (unsigned n = 0; n < 16; ++n) EXPECT_EQ(plcsim::HexDigit(n), digits[n]);
}

struct FrameCase {
  const char* name;
  Bytes built;
  const char* wire;
};

TEST(DriverFrames, BuildersMatchTheKnownFrames) {
  const FrameCase cases[] = {
      {"attach ABC", Attach("ABC"), "1B 41 41 42 43 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 31"},
      {"attach of an empty ID", Attach(""), "1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41"},
      {"short status",
       ShortStatus(),
       "1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 3E 00 00 01 01 00 00 00 00 00 00 E8 03 01 00 00 00 00 00 17 00 00 "
       "00 00 A6"},
      {"change privilege level 4",
       ChangePrivilege(4),
       "1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 0A 00 00 01 01 21 04 00 00 00 00 00 00 00 00 00 00 00 00 17 00 00 "
       "00 00 AE"},
      {"read %R1",
       ReadRequest(0x08, 0, 1),
       "1B 4D 00 00 00 00 00 00 00 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 00 00 01 00 00 00 00 00 00 00 00 00 17 00 00 "
       "00 00 37"},
      {"text buffer 01..0A", TextBuffer(Hex("01 02 03 04 05 06 07 08 09 0A")),
       "1B 54 01 02 03 04 05 06 07 08 09 0A 17 00 00 00 00 90"},
  };
  for (const FrameCase& c : cases) EXPECT_EQ(ToHex(c.built), ToHex(Hex(c.wire))) << c.name;
}

}  // namespace
}  // namespace simtest
