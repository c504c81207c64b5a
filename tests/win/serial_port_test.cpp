// The Win32 serial port on a COM port that Wine maps to a pseudo-terminal,
// through the serial layer's operations exactly as the frame primitives use
// them. The far end (scripts/pty-peer) echoes every byte and, on request,
// sends scripted bytes later; scripts/wine-run maps the COM ports to the
// line and passes their names in KEL_TEST_PORT and KEL_TEST_PORTS.
//
// Exclusive opens, baud rates the device refuses, line breaks and the RTS and
// DTR lines have no effect under Wine on a pseudo-terminal; the Linux tests
// cover them there. Parity stays none: a pseudo-terminal keeps no parity.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace {

constexpr LineSettings kLine{19200, 8, 0, 0};  // 19200 baud, 8 data bits, 1 stop bit, no parity
constexpr uint16_t kOptions = 0x0008;

// Slack for Wine and a loaded machine when a wait must have ended after its
// timeout.
constexpr int64_t kLateMs = 150;

std::string PortName() {
  const char* name = std::getenv("KEL_TEST_PORT");
  return name ? name : "";
}

// Every name mapped to the line: COM7, and COM12, which Windows opens only
// through its device path "\\.\COM12".
std::vector<std::string> PortNames() {
  const char* names = std::getenv("KEL_TEST_PORTS");
  std::vector<std::string> list;
  std::string rest = names ? names : "";
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    list.push_back(rest.substr(0, comma));
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
  }
  return list;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> Sequence(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// Asks the far end for what it does next (see scripts/pty-peer).
void PeerCommand(PortHandle port, const std::string& command) {
  std::string frame = "\xF5\xF5" + command + "\n";
  uint32_t written = 0;
  ASSERT_EQ(SerialWrite(port, reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint32_t>(frame.size()),
                        &written),
            kSerialOk);
  ASSERT_EQ(written, frame.size());
}

// Bytes waiting in the port's input, as the device reports them.
DWORD WaitingBytes(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(reinterpret_cast<HANDLE>(port), &errors, &status)) return 0;
  return status.cbInQue;
}

bool WaitForInput(PortHandle port, DWORD count, int timeoutMs) {
  const int64_t end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    if (WaitingBytes(port) >= count) return true;
    Sleep(10);
  }
  return WaitingBytes(port) >= count;
}

// The handle value the process gets next. A handle that an open leaks holds
// on to this value, and the next handle differs.
HANDLE NextHandle() {
  HANDLE probe = CreateFileA("NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  CloseHandle(probe);
  return probe;
}

// The port tests need the line that scripts/wine-run --serial sets up.
#define REQUIRE_PORT()                                          \
  do {                                                          \
    if (PortName().empty()) GTEST_SKIP() << "no KEL_TEST_PORT"; \
  } while (0)

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PORT();
    ASSERT_EQ(SerialOpen(PortName().c_str(), kLine, kOptions, &port_), kSerialOk);
    ASSERT_NE(port_, kNoPort);
    // Whatever an earlier test left on the line is gone before this one.
    ASSERT_EQ(PurgeInput(port_), kSerialOk);
  }
  void TearDown() override {
    if (port_ != kNoPort) {
      EXPECT_EQ(SerialClose(port_), kSerialOk);
    }
  }

  // Writes bytes and reads the echo back.
  void ExpectEcho(const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(SerialWrite(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), kSerialOk);
    ASSERT_EQ(written, bytes.size());
    std::vector<uint8_t> back(bytes.size(), 0xEE);
    uint16_t received = 0;
    ASSERT_EQ(SerialReadExact(port_, back.data(), static_cast<uint16_t>(back.size()), &received), kSerialOk);
    EXPECT_EQ(received, bytes.size());
    EXPECT_EQ(Hex(back), Hex(bytes));
  }

  // Reads with a short timeout until nothing more comes, then puts the
  // timeout back.
  void Drain() {
    const int previous = SetReadTimeout(port_, 10);
    uint8_t buffer[512];
    uint16_t received = 0;
    while (SerialReadExact(port_, buffer, sizeof buffer, &received) == kSerialOk || received != 0) {
    }
    SetReadTimeout(port_, previous);
  }

  PortHandle port_ = kNoPort;
};

// --- Opening -----------------------------------------------------------------

TEST(SerialOpen, OpensTheComPortByNameAndByDevicePath) {
  REQUIRE_PORT();
  std::vector<std::string> names;
  for (const std::string& port : PortNames()) {
    names.push_back(port);
    names.push_back("\\\\.\\" + port);
  }
  ASSERT_GE(names.size(), 4u) << "KEL_TEST_PORTS names two ports";
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    PortHandle port = kNoPort;
    ASSERT_EQ(SerialOpen(name.c_str(), kLine, kOptions, &port), kSerialOk);
    ASSERT_NE(port, kNoPort);
    const std::vector<uint8_t> frame{0x01, 0x02, 0x03};
    uint32_t written = 0;
    EXPECT_EQ(SerialWrite(port, frame.data(), 3, &written), kSerialOk);
    std::vector<uint8_t> back(3);
    uint16_t received = 0;
    EXPECT_EQ(SerialReadExact(port, back.data(), 3, &received), kSerialOk);
    EXPECT_EQ(back, frame);
    EXPECT_EQ(SerialClose(port), kSerialOk);
  }
}

TEST(SerialOpen, OpensTheNullDeviceWithoutConfiguringIt) {
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen("NUL", kLine, kOptions, &port), kSerialOk);
  ASSERT_NE(port, kNoPort);
  // The null device has no communications state: configuring it would have
  // failed the open.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_FALSE(GetCommState(reinterpret_cast<HANDLE>(port), &dcb));
  EXPECT_EQ(SetReadTimeout(port, 50), 0);
  const std::vector<uint8_t> bytes = Sequence(40);
  uint32_t written = 0;
  EXPECT_EQ(SerialWrite(port, bytes.data(), 40, &written), kSerialOk);
  EXPECT_EQ(written, 40u);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(SerialOpen, NullDeviceNameIsCaseSensitive) {
  // "nul" names the same device, but only "NUL" skips configuration: the
  // state of the null device cannot be read.
  PortHandle port = kNoPort;
  const HANDLE next = NextHandle();
  EXPECT_EQ(SerialOpen("nul", kLine, kOptions, &port), kSerialStateUnreadable);
  EXPECT_EQ(port, kNoPort);
  EXPECT_EQ(NextHandle(), next);
}

TEST(SerialOpen, MissingDeviceFails) {
  for (const char* name : {"COM99", "\\\\.\\COM99", "", "Z:\\no\\such\\device"}) {
    SCOPED_TRACE(name);
    PortHandle port = kNoPort;
    EXPECT_EQ(SerialOpen(name, kLine, kOptions, &port), kSerialOpenFailed);
    EXPECT_EQ(port, kNoPort);
  }
}

struct RejectedLine {
  const char* what;
  LineSettings line;
};

void PrintTo(const RejectedLine& c, std::ostream* out) { *out << c.what; }

class RejectedLineTest : public ::testing::TestWithParam<RejectedLine> {};

TEST_P(RejectedLineTest, FailsWithFiveAndClosesTheDevice) {
  REQUIRE_PORT();
  PortHandle port = kNoPort;
  const HANDLE next = NextHandle();
  EXPECT_EQ(SerialOpen(PortName().c_str(), GetParam().line, kOptions, &port), kSerialStateRejected);
  EXPECT_EQ(port, kNoPort);
  // Wine does not refuse a second open, so a leak shows only here.
  EXPECT_EQ(NextHandle(), next);
  // The device was closed: a good open follows.
  ASSERT_EQ(SerialOpen(PortName().c_str(), kLine, kOptions, &port), kSerialOk);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

INSTANTIATE_TEST_SUITE_P(Settings, RejectedLineTest,
                         ::testing::Values(RejectedLine{"stop-bit code 7", {19200, 8, 7, 0}},
                                           RejectedLine{"parity code 9", {19200, 8, 0, 9}},
                                           RejectedLine{"data bits 264", {19200, 264, 0, 0}},
                                           RejectedLine{"stop bits 256", {19200, 8, 256, 0}}));

// A pseudo-terminal keeps 8 data bits and no parity, so only speeds and stop
// bits vary here.
TEST(SerialOpen, AcceptsTheLineSettingsAPseudoTerminalCanTake) {
  REQUIRE_PORT();
  for (const LineSettings& line : {LineSettings{9600, 8, 0, 0}, LineSettings{19200, 8, 2, 0},
                                   LineSettings{38400, 8, 0, 0}, LineSettings{1200, 8, 0, 0},
                                   LineSettings{57600, 8, 2, 0}}) {
    SCOPED_TRACE(line.baudRate);
    PortHandle port = kNoPort;
    ASSERT_EQ(SerialOpen(PortName().c_str(), line, kOptions, &port), kSerialOk);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(reinterpret_cast<HANDLE>(port), &dcb));
    EXPECT_EQ(dcb.BaudRate, line.baudRate);
    EXPECT_EQ(dcb.StopBits, line.stopBits);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_EQ(SerialClose(port), kSerialOk);
  }
}

TEST(SerialOpen, GivesEveryPortTheInitialTimeouts) {
  REQUIRE_PORT();
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen(PortName().c_str(), kLine, kOptions, &port), kSerialOk);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(port), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(SerialOpen, OpensAgainAfterClose) {
  REQUIRE_PORT();
  for (int round = 0; round < 3; ++round) {
    PortHandle port = kNoPort;
    ASSERT_EQ(SerialOpen(PortName().c_str(), kLine, kOptions, &port), kSerialOk) << "round " << round;
    ASSERT_EQ(SerialClose(port), kSerialOk);
  }
}

TEST(SerialClose, RefusedForAHandleThatIsNotOpen) {
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen("NUL", kLine, kOptions, &port), kSerialOk);
  ASSERT_EQ(SerialClose(port), kSerialOk);
  EXPECT_EQ(SerialClose(port), kSerialIoFailed);
}

// --- Writing and reading -------------------------------------------------------

TEST_F(PortTest, FrameComesBackExactlyWithControlBytesUnchanged) {
  // CR, XON, XOFF, LF, NUL, the terminal's interrupt, quit, suspend and
  // end-of-file characters, and bytes with the top bit set.
  ExpectEcho({0x0D, 0x11, 0x13, 0x0A, 0x00, 0xFF, 0x03, 0x1C, 0x1A, 0x04, 0x7F, 0x80,
              0x0D, 0x0A, 0x11, 0x13, 0x15, 0x17, 0x12, 0x16, 0x0F, 0x1B, 0x08, 0xFC});
}

TEST_F(PortTest, EveryByteValueComesBack) { ExpectEcho(Sequence(256)); }

TEST_F(PortTest, WriteWithoutPlaceForTheCount) {
  const std::vector<uint8_t> bytes = Sequence(24, 0x30);
  EXPECT_EQ(SerialWrite(port_, bytes.data(), 24, nullptr), kSerialOk);
  std::vector<uint8_t> back(24);
  EXPECT_EQ(SerialReadExact(port_, back.data(), 24, nullptr), kSerialOk);
  EXPECT_EQ(back, bytes);
}

TEST_F(PortTest, WriteOfNothingSucceeds) {
  uint32_t written = 99;
  EXPECT_EQ(SerialWrite(port_, nullptr, 0, &written), kSerialOk);
  EXPECT_EQ(written, 0u);
}

TEST_F(PortTest, ReadOfNothingSucceedsAtOnce) {
  uint8_t buffer[1];
  uint16_t received = 99;
  const int64_t start = NowMs();
  EXPECT_EQ(SerialReadExact(port_, buffer, 0, &received), kSerialOk);
  EXPECT_EQ(received, 0);
  EXPECT_LT(NowMs() - start, 50);
}

TEST_F(PortTest, ReadGathersAReplyThatComesInTwoPieces) {
  ASSERT_EQ(SetReadTimeout(port_, 50), 100);  // 500 ms
  const std::vector<uint8_t> reply = Sequence(24, 0x40);
  const std::vector<uint8_t> first(reply.begin(), reply.begin() + 10);
  const std::vector<uint8_t> second(reply.begin() + 10, reply.end());
  PeerCommand(port_, "S0:" + Hex(first));
  PeerCommand(port_, "S700:" + Hex(second));
  std::vector<uint8_t> back(24);
  uint16_t received = 0;
  const int64_t start = NowMs();
  EXPECT_EQ(SerialReadExact(port_, back.data(), 24, &received), kSerialOk);
  const int64_t elapsed = NowMs() - start;
  EXPECT_EQ(received, 24);
  EXPECT_EQ(Hex(back), Hex(reply));
  // The first read ends at its timeout with 10 bytes, the second when the
  // other 14 arrive.
  EXPECT_GE(elapsed, 600);
  EXPECT_LT(elapsed, 700 + kLateMs);
}

TEST_F(PortTest, ReadOfAPartialFrameEndsAtTheFirstEmptyTimeout) {
  ASSERT_EQ(SetReadTimeout(port_, 30), 100);  // 300 ms
  PeerCommand(port_, "S0:" + Hex(Sequence(10, 0x50)));
  std::vector<uint8_t> back(24);
  uint16_t received = 0;
  const int64_t start = NowMs();
  EXPECT_EQ(SerialReadExact(port_, back.data(), 24, &received), kSerialIoFailed);
  const int64_t elapsed = NowMs() - start;
  EXPECT_EQ(received, 10);
  EXPECT_EQ(Hex(std::vector<uint8_t>(back.begin(), back.begin() + 10)), Hex(Sequence(10, 0x50)));
  // One timeout with the 10 bytes, one with nothing.
  EXPECT_GE(elapsed, 580);
  EXPECT_LT(elapsed, 600 + kLateMs);
}

TEST_F(PortTest, ReadWithNothingArrivingEndsAfterOneTimeout) {
  ASSERT_EQ(SetReadTimeout(port_, 30), 100);
  for (bool withPlace : {true, false}) {
    SCOPED_TRACE(withPlace ? "with place for the count" : "without");
    std::vector<uint8_t> back(24);
    uint16_t received = 99;
    const int64_t start = NowMs();
    EXPECT_EQ(SerialReadExact(port_, back.data(), 24, withPlace ? &received : nullptr), kSerialIoFailed);
    const int64_t elapsed = NowMs() - start;
    if (withPlace) {
      EXPECT_EQ(received, 0);
    }
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 300 + kLateMs);
  }
}

// A zero timeout takes what has arrived and returns at once: with every read
// timeout zero the comm API would wait for ever.
TEST_F(PortTest, LongerTimeoutWaitsLonger) {
  for (int32_t value : {0, 10, 60}) {
    SetReadTimeout(port_, value);
    uint8_t buffer[4];
    const int64_t start = NowMs();
    EXPECT_EQ(SerialReadExact(port_, buffer, 4, nullptr), kSerialIoFailed);
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, value * 10 - 10) << value;
    EXPECT_LT(elapsed, value * 10 + kLateMs) << value;
  }
}

// --- Read timeout ------------------------------------------------------------

TEST_F(PortTest, SetReadTimeoutReturnsThePreviousValue) {
  struct Step {
    int32_t value;
    int previous;
  };
  // A new port starts at 1000 ms; the same value changes nothing.
  const Step steps[] = {{100, 100}, {100, 100}, {25, 100}, {7, 25}, {1, 7}, {6553, 1}, {100, 6553}, {0, 100}, {30, 0}};
  for (const Step& step : steps) {
    EXPECT_EQ(SetReadTimeout(port_, step.value), step.previous) << "setting " << step.value;
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(port_), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, static_cast<DWORD>(step.value) * 10) << "setting " << step.value;
    // Only the total constant changes, but for a zero one, which takes what
    // has arrived instead of waiting for ever.
    EXPECT_EQ(timeouts.ReadIntervalTimeout, step.value == 0 ? MAXDWORD : 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
  }
}

TEST_F(PortTest, PreviousTimeoutIsTruncatedToTensOfMilliseconds) {
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(port_), &timeouts));
  timeouts.ReadTotalTimeoutConstant = 259;
  ASSERT_TRUE(SetCommTimeouts(reinterpret_cast<HANDLE>(port_), &timeouts));
  EXPECT_EQ(SetReadTimeout(port_, 100), 25);
}

TEST(SetReadTimeout, ZeroWhenTheTimeoutsCannotBeRead) {
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen("NUL", kLine, kOptions, &port), kSerialOk);
  EXPECT_EQ(SetReadTimeout(port, 100), 0);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

// --- Purge -------------------------------------------------------------------

TEST_F(PortTest, PurgeOfAnEmptyQueueReturnsAtOnceAndKeepsTheTimeout) {
  ASSERT_EQ(SetReadTimeout(port_, 30), 100);
  const int64_t start = NowMs();
  EXPECT_EQ(PurgeInput(port_), kSerialOk);
  // A purge that read would have waited its 50 ms read timeout.
  EXPECT_LT(NowMs() - start, 40);
  EXPECT_EQ(SetReadTimeout(port_, 30), 30);
}

TEST_F(PortTest, PurgeDiscardsManyWaitingBytesAndRestoresTheTimeout) {
  ASSERT_EQ(SetReadTimeout(port_, 30), 100);
  PeerCommand(port_, "N0:1100");
  ASSERT_TRUE(WaitForInput(port_, 1100, 2000)) << WaitingBytes(port_) << " bytes arrived";
  const int64_t start = NowMs();
  EXPECT_EQ(PurgeInput(port_), kSerialOk);
  // 512, 512, then 76 bytes and one 50 ms wait.
  EXPECT_LT(NowMs() - start, 50 + kLateMs);
  EXPECT_EQ(WaitingBytes(port_), 0u);
  EXPECT_EQ(SetReadTimeout(port_, 10), 30);
  uint8_t byte;
  uint16_t received = 99;
  EXPECT_EQ(SerialReadExact(port_, &byte, 1, &received), kSerialIoFailed);
  EXPECT_EQ(received, 0);
  // The line still works.
  ExpectEcho(Sequence(24, 0x60));
}

TEST_F(PortTest, PurgeRestoresAReadTimeoutOfZero) {
  ASSERT_EQ(SetReadTimeout(port_, 0), 100);
  PeerCommand(port_, "S0:0d1113");
  ASSERT_TRUE(WaitForInput(port_, 3, 2000));
  EXPECT_EQ(PurgeInput(port_), kSerialOk);
  EXPECT_EQ(WaitingBytes(port_), 0u);
  int32_t previous = -1;
  EXPECT_EQ(ExchangeReadTimeout(port_, 100, &previous), kSerialOk);
  EXPECT_EQ(previous, 0);
}

TEST_F(PortTest, PurgeDiscardsAFewWaitingBytes) {
  PeerCommand(port_, "S0:0d1113");
  ASSERT_TRUE(WaitForInput(port_, 3, 2000));
  EXPECT_EQ(PurgeInput(port_), kSerialOk);
  EXPECT_EQ(WaitingBytes(port_), 0u);
  EXPECT_EQ(SetReadTimeout(port_, 100), 100);
}

struct StreamCase {
  const char* what;
  const char* command;  // what the far end sends
  int64_t withinMs;     // the purge must have returned by then
};

void PrintTo(const StreamCase& c, std::ostream* out) { *out << c.what; }

class PurgeOfAStreamTest : public PortTest, public ::testing::WithParamInterface<StreamCase> {};

// A line that never stops sending keeps every chunk full; the purge still
// returns, after 64 chunks or about a second.
TEST_P(PurgeOfAStreamTest, ReturnsWhileTheLineKeepsSending) {
  const StreamCase& c = GetParam();
  ASSERT_EQ(SetReadTimeout(port_, 30), 100);
  const int64_t streamStart = NowMs();
  PeerCommand(port_, c.command);
  ASSERT_TRUE(WaitForInput(port_, 600, 2000));
  const int64_t start = NowMs();
  EXPECT_EQ(PurgeInput(port_), kSerialOk);
  const int64_t elapsed = NowMs() - start;
  EXPECT_LT(elapsed, c.withinMs) << c.what;
  EXPECT_EQ(SetReadTimeout(port_, 30), 30);
  // Let the stream end (3 s), then take what is left off the line.
  const int64_t left = streamStart + 3200 - NowMs();
  if (left > 0) Sleep(static_cast<DWORD>(left));
  Drain();
  ExpectEcho(Sequence(24, 0x70));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PurgeOfAStreamTest,
    ::testing::Values(
        // As fast as the line takes it: 64 chunks of 512 bytes come long before a second.
        StreamCase{"fast stream", "T3000", 900},
        // 16000 bytes a second fill a chunk in 32 ms, inside the 50 ms timeout;
        // 64 chunks would take 2 s, so the time bound ends the purge.
        StreamCase{"steady stream", "T3000:16000", 1000 + 50 + 2 * kLateMs}));

// --- Break -------------------------------------------------------------------

TEST_F(PortTest, BreakHoldsForItsDurationAndReturnsZero) {
  for (uint32_t duration : {0u, 60u}) {
    const int64_t start = NowMs();
    EXPECT_EQ(SendBreak(duration, port_), kSerialOk);
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, static_cast<int64_t>(duration) - 5);
    EXPECT_LT(elapsed, static_cast<int64_t>(duration) + kLateMs);
  }
  ExpectEcho(Sequence(24, 0x10));
}

TEST(SendBreak, ReturnsZeroEvenWhenTheDeviceHasNoBreak) {
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen("NUL", kLine, kOptions, &port), kSerialOk);
  EXPECT_EQ(SendBreak(10, port), kSerialOk);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

}  // namespace
