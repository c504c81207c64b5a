// Line settings written into a device control block as the open does: the
// fields it sets take the translated values, every other field keeps what the
// device reported.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/dcb_settings.h"

namespace {

DCB Filled(uint8_t byte) {
  DCB dcb;
  std::memset(&dcb, byte, sizeof dcb);
  return dcb;
}

class ApplyDcbSettingsTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(ApplyDcbSettingsTest, SetsTheNamedFieldsAndKeepsTheRest) {
  DcbSettings settings{};
  ASSERT_TRUE(TranslateDcbSettings(LineSettings{9600, 7, 2, 2}, 0x020A, &settings));
  const DCB before = Filled(GetParam());
  DCB dcb = before;
  ApplyDcbSettings(settings, &dcb);

  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fErrorChar, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(static_cast<uint8_t>(dcb.ErrorChar), 0xFC);

  // Transmission after an XOFF stays as the device had it, and so does every
  // field the open does not name.
  EXPECT_EQ(dcb.fTXContinueOnXoff, before.fTXContinueOnXoff);
  EXPECT_EQ(dcb.DCBlength, before.DCBlength);
  EXPECT_EQ(dcb.fDummy2, before.fDummy2);
  EXPECT_EQ(dcb.wReserved, before.wReserved);
  EXPECT_EQ(dcb.XonLim, before.XonLim);
  EXPECT_EQ(dcb.XoffLim, before.XoffLim);
  EXPECT_EQ(dcb.XonChar, before.XonChar);
  EXPECT_EQ(dcb.XoffChar, before.XoffChar);
  EXPECT_EQ(dcb.EofChar, before.EofChar);
  EXPECT_EQ(dcb.EvtChar, before.EvtChar);
  EXPECT_EQ(dcb.wReserved1, before.wReserved1);
}

// Every bit set and every bit clear: a field that is written shows in one of
// the two, a field that is kept in both.
INSTANTIATE_TEST_SUITE_P(DeviceStates, ApplyDcbSettingsTest, ::testing::Values(uint8_t{0x00}, uint8_t{0xFF}));

TEST(ApplyDcbSettings, ModemLinesFollowTheOptionWord) {
  struct Case {
    uint16_t options;
    DWORD dtr;
    DWORD rts;
  };
  for (const Case& c : {Case{0x0008, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
                        Case{0x020A, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
                        Case{0x0101, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
                        Case{0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
                        Case{0x1000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
                        Case{0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE}}) {
    DcbSettings settings{};
    ASSERT_TRUE(TranslateDcbSettings(LineSettings{19200, 8, 0, 1}, c.options, &settings));
    DCB dcb = Filled(0x00);
    ApplyDcbSettings(settings, &dcb);
    EXPECT_EQ(dcb.fDtrControl, c.dtr) << std::hex << c.options;
    EXPECT_EQ(dcb.fRtsControl, c.rts) << std::hex << c.options;
  }
}

}  // namespace
