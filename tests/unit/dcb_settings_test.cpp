// The Win32 serial layer's pure translations: option word to DTR and RTS
// control, line settings to DCB values, port name to device path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/dcb_settings.h"

namespace {

// --- Option word -------------------------------------------------------------

struct OptionCase {
  uint16_t options;
  DtrControl dtr;
  RtsControl rts;
};

class OptionWordTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionWordTest, ChoosesTheModemLineHandling) {
  const OptionCase& c = GetParam();
  EXPECT_EQ(DtrControlFor(c.options), c.dtr);
  EXPECT_EQ(RtsControlFor(c.options), c.rts);
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, OptionWordTest,
    ::testing::Values(
        // The two values the driver uses.
        OptionCase{0x0008, DtrControl::kDisable, RtsControl::kDisable},
        OptionCase{0x020A, DtrControl::kDisable, RtsControl::kEnable},
        OptionCase{0x0000, DtrControl::kDisable, RtsControl::kDisable},
        // DTR: either enable bit wins over handshake.
        OptionCase{0x0001, DtrControl::kEnable, RtsControl::kDisable},
        OptionCase{0x0100, DtrControl::kEnable, RtsControl::kDisable},
        OptionCase{0x8001, DtrControl::kEnable, RtsControl::kDisable},
        OptionCase{0x8000, DtrControl::kHandshake, RtsControl::kDisable},
        // RTS: enable, then handshake, then toggle.
        OptionCase{0x0002, DtrControl::kDisable, RtsControl::kEnable},
        OptionCase{0x0200, DtrControl::kDisable, RtsControl::kEnable},
        OptionCase{0x3002, DtrControl::kDisable, RtsControl::kEnable},
        OptionCase{0x1000, DtrControl::kDisable, RtsControl::kHandshake},
        OptionCase{0x3000, DtrControl::kDisable, RtsControl::kHandshake},
        OptionCase{0x2000, DtrControl::kDisable, RtsControl::kToggle},
        // Every bit: both lines enabled.
        OptionCase{0xFFFF, DtrControl::kEnable, RtsControl::kEnable},
        // Bits outside the table change nothing.
        OptionCase{0x4CF4, DtrControl::kDisable, RtsControl::kDisable},
        OptionCase{0xC000, DtrControl::kHandshake, RtsControl::kDisable}));

// --- Line settings -----------------------------------------------------------

TEST(TranslateDcbSettings, DefaultLineGivesRawBinaryWithoutFlowControl) {
  DcbSettings s;
  std::memset(&s, 0x5A, sizeof s);
  ASSERT_TRUE(TranslateDcbSettings(LineSettings{19200, 8, 0, 1}, 0x0008, &s));
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_TRUE(s.binary);
  EXPECT_TRUE(s.parityCheck);
  EXPECT_FALSE(s.outxCtsFlow);
  EXPECT_FALSE(s.outxDsrFlow);
  EXPECT_FALSE(s.dsrSensitivity);
  EXPECT_EQ(s.dtrControl, DtrControl::kDisable);
  EXPECT_EQ(s.rtsControl, RtsControl::kDisable);
  EXPECT_FALSE(s.outX);
  EXPECT_FALSE(s.inX);
  EXPECT_FALSE(s.errorReplacement);
  EXPECT_FALSE(s.nullStrip);
  EXPECT_FALSE(s.abortOnError);
  EXPECT_EQ(s.byteSize, 8);
  EXPECT_EQ(s.parity, 1);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_EQ(s.errorChar, 0xFC);
}

struct LineCase {
  LineSettings line;
  uint16_t options;
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;
  uint8_t stopBits;
  RtsControl rts;
};

class LineSettingsTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSettingsTest, PassesTheCodesToTheDevice) {
  const LineCase& c = GetParam();
  DcbSettings s{};
  ASSERT_TRUE(TranslateDcbSettings(c.line, c.options, &s));
  EXPECT_EQ(s.baudRate, c.baudRate);
  EXPECT_EQ(s.byteSize, c.byteSize);
  EXPECT_EQ(s.parity, c.parity);
  EXPECT_EQ(s.stopBits, c.stopBits);
  EXPECT_EQ(s.rtsControl, c.rts);
  // These hold whatever the line.
  EXPECT_TRUE(s.binary);
  EXPECT_TRUE(s.parityCheck);
  EXPECT_FALSE(s.outX || s.inX || s.outxCtsFlow || s.outxDsrFlow);
  EXPECT_EQ(s.errorChar, 0xFC);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LineSettingsTest,
    ::testing::Values(LineCase{{9600, 7, 2, 2}, 0x0008, 9600, 7, 2, 2, RtsControl::kDisable},
                      LineCase{{1200, 5, 1, 3}, 0x0008, 1200, 5, 3, 1, RtsControl::kDisable},
                      LineCase{{38400, 6, 0, 4}, 0x020A, 38400, 6, 4, 0, RtsControl::kEnable},
                      LineCase{{57600, 8, 0, 0}, 0x020A, 57600, 8, 0, 0, RtsControl::kEnable},
                      // The baud rate is an unsigned 16-bit number, never sign-extended.
                      LineCase{{65535, 8, 0, 0}, 0x0008, 65535, 8, 0, 0, RtsControl::kDisable},
                      LineCase{{40000, 8, 0, 0}, 0x0008, 40000, 8, 0, 0, RtsControl::kDisable},
                      // Codes the device may refuse are still passed on for it to decide.
                      LineCase{{19200, 9, 7, 5}, 0x0008, 19200, 9, 5, 7, RtsControl::kDisable},
                      LineCase{{0, 255, 255, 255}, 0x0008, 0, 255, 255, 255, RtsControl::kDisable}));

struct BadLineCase {
  const char* what;
  LineSettings line;
};

class UnrepresentableLineTest : public ::testing::TestWithParam<BadLineCase> {};

TEST_P(UnrepresentableLineTest, IsRefusedAndLeavesTheSettingsAlone) {
  DcbSettings s;
  std::memset(&s, 0x5A, sizeof s);
  DcbSettings before;
  std::memcpy(&before, &s, sizeof s);
  EXPECT_FALSE(TranslateDcbSettings(GetParam().line, 0x0008, &s)) << GetParam().what;
  EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << GetParam().what;
}

// A byte field would turn these into other, valid looking codes (264 into 8).
INSTANTIATE_TEST_SUITE_P(ByteFields, UnrepresentableLineTest,
                         ::testing::Values(BadLineCase{"data bits 264", {19200, 264, 0, 0}},
                                           BadLineCase{"stop bits 256", {19200, 8, 256, 0}},
                                           BadLineCase{"parity 257", {19200, 8, 0, 257}},
                                           BadLineCase{"all 0xFFFF", {19200, 0xFFFF, 0xFFFF, 0xFFFF}}));

TEST(TranslateDcbSettings, NullDestinationFails) {
  EXPECT_FALSE(TranslateDcbSettings(LineSettings{19200, 8, 0, 1}, 0x0008, nullptr));
}

// --- Device path -------------------------------------------------------------

struct PathCase {
  const char* name;
  const char* path;
};

class DevicePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(DevicePathTest, PrefixesComPortsOnly) {
  char path[64];
  std::memset(path, '#', sizeof path);
  ASSERT_TRUE(Win32DevicePath(GetParam().name, path, sizeof path));
  EXPECT_STREQ(path, GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePathTest,
    ::testing::Values(PathCase{"COM1", "\\\\.\\COM1"}, PathCase{"COM9", "\\\\.\\COM9"},
                      PathCase{"COM10", "\\\\.\\COM10"}, PathCase{"COM256", "\\\\.\\COM256"},
                      PathCase{"com3", "\\\\.\\com3"}, PathCase{"Com12", "\\\\.\\Com12"},
                      // Not of the COMn form: used as they are.
                      PathCase{"NUL", "NUL"}, PathCase{"\\\\.\\COM7", "\\\\.\\COM7"},
                      PathCase{"COM", "COM"}, PathCase{"COM0", "COM0"}, PathCase{"COM05", "COM05"},
                      PathCase{"COM1:", "COM1:"}, PathCase{"COM1 ", "COM1 "}, PathCase{"COMX", "COMX"},
                      PathCase{"LPT1", "LPT1"}, PathCase{"C", "C"}, PathCase{"", ""}));

TEST(Win32DevicePath, RefusesWhatDoesNotFit) {
  char path[9];
  // "\\.\COM10" needs 9 characters and the terminator.
  EXPECT_FALSE(Win32DevicePath("COM10", path, sizeof path));
  ASSERT_TRUE(Win32DevicePath("COM1", path, sizeof path));
  EXPECT_STREQ(path, "\\\\.\\COM1");
  EXPECT_FALSE(Win32DevicePath("ABCDEFGHI", path, sizeof path));
  EXPECT_TRUE(Win32DevicePath("ABCDEFGH", path, sizeof path));
  EXPECT_FALSE(Win32DevicePath(nullptr, path, sizeof path));
  EXPECT_FALSE(Win32DevicePath("COM1", nullptr, 16));
  EXPECT_FALSE(Win32DevicePath("COM1", path, 0));
}

}  // namespace
