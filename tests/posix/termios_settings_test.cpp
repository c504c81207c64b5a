// The translations of the POSIX serial layer, without a device.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/termios_settings.h"

namespace {

constexpr int kRejected = 5;
constexpr uint16_t kDefaultOptions = 0x0008;

// A terminal as a login shell would leave it: cooked, echoing, with
// flow control and a split input speed.
termios2 CookedState() {
  termios2 state{};
  state.c_iflag = ICRNL | IXON | IXOFF | IXANY | INLCR | IGNCR | ISTRIP | BRKINT | IGNPAR | PARMRK | IMAXBEL;
  state.c_oflag = OPOST | ONLCR;
  state.c_lflag = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
  state.c_cflag = B9600 | (B4800 << IBSHIFT) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
  state.c_cc[VMIN] = 1;
  state.c_cc[VTIME] = 5;
  state.c_ispeed = 4800;
  state.c_ospeed = 9600;
  return state;
}

termios2 Translated(const LineSettings& line, bool pseudoTerminal = false, uint16_t options = kDefaultOptions) {
  termios2 state = CookedState();
  ModemLineChange modem{};
  EXPECT_EQ(TranslateLineSettings(line, options, pseudoTerminal, &state, &modem), 0);
  return state;
}

TEST(TranslateLineSettings, MakesTheLineRawWhateverItWas) {
  for (bool pseudoTerminal : {false, true}) {
    const termios2 state = Translated({19200, 8, 0, 1}, pseudoTerminal);
    EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(state.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INLCR | IGNCR | ISTRIP | BRKINT | IGNPAR | PARMRK),
              0u);
    EXPECT_EQ(state.c_oflag & OPOST, 0u);
    EXPECT_EQ(state.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(state.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(state.c_cflag & CIBAUD, 0u);  // input at the output speed
    EXPECT_EQ(state.c_cc[VMIN], 0);
    EXPECT_EQ(state.c_cc[VTIME], 0);
    EXPECT_EQ(state.c_cflag & HUPCL, tcflag_t{HUPCL});  // not ours to change
  }
}

TEST(TranslateLineSettings, ParityCodes) {
  const struct {
    uint16_t parity;
    tcflag_t cflag;
  } cases[] = {
      {0, 0},
      {1, PARENB | PARODD},
      {2, PARENB},
      {3, PARENB | PARODD | CMSPAR},  // mark
      {4, PARENB | CMSPAR},           // space
  };
  for (const auto& c : cases) {
    const termios2 state = Translated({19200, 8, 0, c.parity});
    EXPECT_EQ(state.c_cflag & (PARENB | PARODD | CMSPAR), c.cflag) << c.parity;
    EXPECT_EQ(state.c_iflag & INPCK, c.parity == 0 ? 0u : tcflag_t{INPCK}) << c.parity;
    // A pseudo-terminal carries no parity at all.
    const termios2 pty = Translated({19200, 8, 0, c.parity}, true);
    EXPECT_EQ(pty.c_cflag & (PARENB | PARODD | CMSPAR), 0u) << c.parity;
    EXPECT_EQ(pty.c_iflag & INPCK, 0u) << c.parity;
  }
}

TEST(TranslateLineSettings, DataAndStopBits) {
  const struct {
    uint16_t dataBits;
    uint16_t stopBits;
    tcflag_t cflag;
  } cases[] = {
      {5, 0, CS5}, {6, 0, CS6}, {7, 0, CS7}, {8, 0, CS8}, {8, 2, CS8 | CSTOPB}, {7, 2, CS7 | CSTOPB},
      {5, 1, CS5 | CSTOPB},  // with 5 data bits a UART sends "two" as one and a half
  };
  for (const auto& c : cases) {
    const termios2 state = Translated({9600, c.dataBits, c.stopBits, 0});
    EXPECT_EQ(state.c_cflag & (CSIZE | CSTOPB), c.cflag) << c.dataBits << "/" << c.stopBits;
    const termios2 pty = Translated({9600, c.dataBits, c.stopBits, 0}, true);
    EXPECT_EQ(pty.c_cflag & (CSIZE | CSTOPB), tcflag_t{CS8}) << c.dataBits << "/" << c.stopBits;
  }
}

TEST(TranslateLineSettings, Speeds) {
  const struct {
    uint16_t rate;
    tcflag_t code;
  } cases[] = {
      {50, B50},     {110, B110},     {300, B300},     {1200, B1200},   {2400, B2400},   {4800, B4800},
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {12345, BOTHER}, {65535, BOTHER},
      {1, BOTHER},
  };
  for (const auto& c : cases) {
    for (bool pseudoTerminal : {false, true}) {
      const termios2 state = Translated({c.rate, 8, 0, 0}, pseudoTerminal);
      EXPECT_EQ(state.c_cflag & CBAUD, c.code) << c.rate;
      EXPECT_EQ(state.c_ospeed, c.rate);
      EXPECT_EQ(state.c_ispeed, c.rate);
      EXPECT_EQ(StateSpeed(state), c.rate);
    }
  }
}

TEST(TranslateLineSettings, UnacceptableValuesFailWithFiveAndChangeNothing) {
  const LineSettings cases[] = {
      {0, 8, 0, 0},       // B0 would hang the line up
      {19200, 4, 0, 0},  {19200, 9, 0, 0}, {19200, 0, 0, 0},
      {19200, 8, 3, 0},  {19200, 8, 0xFFFF, 0},
      {19200, 8, 1, 0},  {19200, 6, 1, 0}, {19200, 7, 1, 1},  // 1.5 stop bits only with 5 data bits
      {19200, 8, 0, 5},  {19200, 8, 0, 0xFFFF},
  };
  for (const LineSettings& line : cases) {
    for (bool pseudoTerminal : {false, true}) {
      termios2 state = CookedState();
      ModemLineChange modem{123, 456};
      EXPECT_EQ(TranslateLineSettings(line, kDefaultOptions, pseudoTerminal, &state, &modem), kRejected)
          << line.baudRate << "/" << line.dataBits << "/" << line.stopBits << "/" << line.parity;
      const termios2 cooked = CookedState();
      EXPECT_EQ(std::memcmp(&state, &cooked, sizeof state), 0);
      EXPECT_EQ(modem.raise, 123);
      EXPECT_EQ(modem.drop, 456);
    }
  }
}

TEST(TranslateLineSettings, ModemLinesFromTheOptionWord) {
  const struct {
    uint16_t options;
    int result;
    int raise;
    int drop;
  } cases[] = {
      {0x0008, 0, 0, TIOCM_DTR | TIOCM_RTS},
      {0x020A, 0, TIOCM_RTS, TIOCM_DTR},
      {0x0101, 0, TIOCM_DTR, TIOCM_RTS},
      {0x0303, 0, TIOCM_DTR | TIOCM_RTS, 0},
      {0x8000, kRejected, 0, 0},  // DTR handshake
      {0x1000, kRejected, 0, 0},  // RTS handshake
      {0x2000, kRejected, 0, 0},  // RTS toggle
  };
  for (const auto& c : cases) {
    termios2 state = CookedState();
    ModemLineChange modem{-1, -1};
    EXPECT_EQ(TranslateLineSettings({19200, 8, 0, 1}, c.options, false, &state, &modem), c.result) << c.options;
    if (c.result == 0) {
      EXPECT_EQ(modem.raise, c.raise) << c.options;
      EXPECT_EQ(modem.drop, c.drop) << c.options;
    }
    // A pseudo-terminal has no modem lines: the word is not looked at.
    state = CookedState();
    EXPECT_EQ(TranslateLineSettings({19200, 8, 0, 1}, c.options, true, &state, &modem), 0) << c.options;
    EXPECT_EQ(modem.raise, 0);
    EXPECT_EQ(modem.drop, 0);
  }
}

TEST(StateTookEffect, EverySettingMustHoldOnTheDevice) {
  termios2 wanted = Translated({19200, 7, 2, 2});
  EXPECT_TRUE(StateTookEffect(wanted, wanted));

  termios2 actual = wanted;
  actual.c_cflag &= ~PARENB;  // parity silently dropped
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  actual = wanted;
  actual.c_cflag = (actual.c_cflag & ~CSIZE) | CS8;
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  actual = wanted;
  actual.c_cflag = (actual.c_cflag & ~CBAUD) | B9600;
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  actual = wanted;
  actual.c_iflag |= IXON;
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  actual = wanted;
  actual.c_lflag |= ICANON;
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  actual = wanted;
  actual.c_cflag |= HUPCL;  // a bit the layer does not set
  EXPECT_TRUE(StateTookEffect(wanted, actual));

  // A rate without a B-constant may come back a little off, or as the
  // nearest B-constant, within a UART's tolerance.
  wanted = Translated({12345, 8, 0, 0});
  actual = wanted;
  actual.c_ospeed = 12300;
  EXPECT_TRUE(StateTookEffect(wanted, actual));
  actual.c_ospeed = 12000;
  EXPECT_FALSE(StateTookEffect(wanted, actual));
  wanted = Translated({19300, 8, 0, 0});
  actual = wanted;
  actual.c_cflag = (actual.c_cflag & ~CBAUD) | B19200;
  EXPECT_TRUE(StateTookEffect(wanted, actual));
}

TEST(PortDevicePath, NamesAndTheirDevices) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"NUL", "/dev/null"},
      {"COM1", "/dev/ttyS0"},
      {"COM2", "/dev/ttyS1"},
      {"COM12", "/dev/ttyS11"},
      {"COM0", "/dev/COM0"},  // ports count from 1
      {"COM", "/dev/COM"},
      {"COM1A", "/dev/COM1A"},
      {"com1", "/dev/com1"},
      {"nul", "/dev/nul"},
      {"pts/7", "/dev/pts/7"},
      {"ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"/tmp/line", "/tmp/line"},
  };
  for (const auto& c : cases) {
    char path[64] = {};
    ASSERT_TRUE(PortDevicePath(c.name, path, sizeof path)) << c.name;
    EXPECT_STREQ(path, c.path) << c.name;
  }
  char path[12] = {};
  EXPECT_FALSE(PortDevicePath("", path, sizeof path));
  EXPECT_FALSE(PortDevicePath(nullptr, path, sizeof path));
  EXPECT_FALSE(PortDevicePath("ttyUSB0", path, sizeof path));  // "/dev/ttyUSB0" needs 13 bytes
  EXPECT_TRUE(PortDevicePath("ttyS0", path, sizeof path));
}

}  // namespace
