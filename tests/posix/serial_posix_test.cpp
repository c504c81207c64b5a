// The POSIX serial port on pseudo-terminals, through the serial layer's
// operations exactly as the frame primitives use them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <numeric>
#include <thread>
#include <vector>

#include "serial/serial_port.h"
#include "tests/posix/pty_pair.h"

namespace {

constexpr LineSettings kDefaultLine{19200, 8, 0, 1};  // 19200 baud, 8 data bits, 1 stop bit, odd
constexpr uint16_t kOptions = 0x0008;

// Slack for a loaded machine when a wait must have ended after its timeout.
constexpr int64_t kLateMs = 100;

std::vector<uint8_t> Sequence(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

class OpenPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SerialOpen(pty_.Name().c_str(), kDefaultLine, kOptions, &port_), kSerialOk);
    ASSERT_NE(port_, kNoPort);
  }
  void TearDown() override {
    if (port_ != kNoPort) {
      EXPECT_EQ(SerialClose(port_), kSerialOk);
    }
  }

  PtyPair pty_;
  PortHandle port_ = kNoPort;
};

// --- Opening ---------------------------------------------------------------

TEST(SerialOpen, OpensThePseudoTerminalByNameOrPathInRawMode) {
  PtyPair pty;
  for (const std::string& name : {pty.Name(), pty.Path()}) {
    SCOPED_TRACE(name);
    PortHandle port = kNoPort;
    ASSERT_EQ(SerialOpen(name.c_str(), kDefaultLine, kOptions, &port), kSerialOk);
    const termios2 state = pty.SlaveState();
    EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(state.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(state.c_oflag & OPOST, 0u);
    EXPECT_EQ(state.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(state.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(state.c_cflag & CBAUD, tcflag_t{B19200});
    EXPECT_EQ(SerialClose(port), kSerialOk);
  }
}

TEST(SerialOpen, SecondOpenOfTheSameDeviceFailsUntilTheFirstIsClosed) {
  PtyPair pty;
  PortHandle first = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &first), kSerialOk);
  for (const std::string& name : {pty.Name(), pty.Path()}) {
    PortHandle second = kNoPort;
    EXPECT_EQ(SerialOpen(name.c_str(), kDefaultLine, kOptions, &second), kSerialOpenFailed) << name;
    EXPECT_EQ(second, kNoPort);
  }
  ASSERT_EQ(SerialClose(first), kSerialOk);
  PortHandle again = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &again), kSerialOk);
  EXPECT_EQ(SerialClose(again), kSerialOk);
}

TEST(SerialOpen, AnotherProcessCannotOpenAPortInUse) {
  PtyPair pty;
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &port), kSerialOk);
  fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PortHandle theirs = kNoPort;
    _exit(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &theirs));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kSerialOpenFailed);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(SerialOpen, RefusedSettingsCloseTheDeviceAgain) {
  PtyPair pty;
  const LineSettings refused[] = {
      {19200, 9, 0, 1},  // data bits
      {19200, 4, 0, 0},
      {19200, 8, 3, 1},  // stop-bit code
      {19200, 8, 1, 0},  // one and a half stop bits need 5 data bits
      {19200, 8, 0, 5},  // parity code
      {0, 8, 0, 1},      // no rate
  };
  const int descriptors = OpenDescriptorCount();
  for (const LineSettings& line : refused) {
    SCOPED_TRACE(testing::Message() << line.baudRate << "/" << line.dataBits << "/" << line.stopBits << "/"
                                    << line.parity);
    PortHandle port = kNoPort;
    EXPECT_EQ(SerialOpen(pty.Name().c_str(), line, kOptions, &port), kSerialStateRejected);
    EXPECT_EQ(port, kNoPort);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
  }
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &port), kSerialOk);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(SerialOpen, PseudoTerminalReopensWithParityAndTakesAnyRate) {
  // A pseudo-terminal drops parity and refuses a later request for it; the
  // layer asks it only for raw mode and the speed.
  PtyPair pty;
  for (uint16_t parity = 0; parity <= 4; ++parity) {
    for (int round = 0; round < 2; ++round) {
      PortHandle port = kNoPort;
      ASSERT_EQ(SerialOpen(pty.Name().c_str(), LineSettings{9600, 7, 2, parity}, 0x020A, &port), kSerialOk)
          << "parity " << parity << " round " << round;
      EXPECT_EQ(SerialClose(port), kSerialOk);
    }
  }
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), LineSettings{12345, 8, 0, 0}, kOptions, &port), kSerialOk);
  const termios2 state = pty.SlaveState();
  EXPECT_EQ(state.c_cflag & CBAUD, tcflag_t{BOTHER});
  EXPECT_EQ(state.c_ospeed, 12345u);
  EXPECT_EQ(SerialClose(port), kSerialOk);
}

TEST(SerialOpen, DevicesThatAreNotPorts) {
  char file[] = "/tmp/kel_serial_XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const struct {
    const char* name;
    int code;
  } cases[] = {
      {"", kSerialOpenFailed},
      {"ttyKelNoSuchDevice", kSerialOpenFailed},
      {"/dev/kel/none", kSerialOpenFailed},
      {file, kSerialStateUnreadable},  // opens, but has no terminal state
  };
  const int descriptors = OpenDescriptorCount();
  for (const auto& c : cases) {
    PortHandle port = kNoPort;
    EXPECT_EQ(SerialOpen(c.name, kDefaultLine, kOptions, &port), c.code) << c.name;
    EXPECT_EQ(port, kNoPort);
  }
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  unlink(file);
}

TEST(SerialOpen, NullDeviceOpensUnconfiguredAndSwallowsWrites) {
  PortHandle first = kNoPort;
  PortHandle second = kNoPort;
  // Nothing of the line settings is looked at.
  ASSERT_EQ(SerialOpen("NUL", LineSettings{0, 99, 99, 99}, 0xFFFF, &first), kSerialOk);
  ASSERT_EQ(SerialOpen("NUL", kDefaultLine, kOptions, &second), kSerialOk);
  const std::vector<uint8_t> frame = Sequence(24);
  uint32_t written = 0;
  EXPECT_EQ(SerialWrite(first, frame.data(), 24, &written), kSerialOk);
  EXPECT_EQ(written, 24u);
  uint8_t buffer[8];
  uint16_t received = 99;
  const int64_t start = MonotonicMs();
  EXPECT_EQ(SerialReadExact(first, buffer, 8, &received), kSerialIoFailed);
  EXPECT_EQ(received, 0);
  EXPECT_EQ(PurgeInput(first), 0);
  EXPECT_LT(MonotonicMs() - start, 500);  // the null device answers at once
  EXPECT_EQ(SendBreak(1, first), 0);
  EXPECT_EQ(SerialClose(first), kSerialOk);
  EXPECT_EQ(SerialClose(second), kSerialOk);
}

TEST(SerialOpen, OpenPortsAreLimitedAndFreedByClose) {
  // Ports live in a fixed table; when it is full an open fails cleanly.
  std::vector<PortHandle> ports;
  PortHandle port = kNoPort;
  while (ports.size() < 1000 && SerialOpen("NUL", kDefaultLine, kOptions, &port) == kSerialOk) ports.push_back(port);
  EXPECT_GE(ports.size(), 16u);
  EXPECT_LT(ports.size(), 1000u);
  const int descriptors = OpenDescriptorCount();
  EXPECT_EQ(SerialOpen("NUL", kDefaultLine, kOptions, &port), kSerialOpenFailed);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(SerialClose(ports.back()), kSerialOk);
  ports.pop_back();
  ASSERT_EQ(SerialOpen("NUL", kDefaultLine, kOptions, &port), kSerialOk);
  ports.push_back(port);
  for (PortHandle open : ports) EXPECT_EQ(SerialClose(open), kSerialOk);
}

TEST(SerialOpen, CaseMattersForTheNullDeviceName) {
  PortHandle port = kNoPort;
  EXPECT_EQ(SerialOpen("nul", kDefaultLine, kOptions, &port), kSerialOpenFailed);  // there is no /dev/nul
}

// --- Handles ---------------------------------------------------------------

TEST(SerialClose, AClosedHandleIsDeadForEveryOperation) {
  PtyPair pty;
  PortHandle port = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &port), kSerialOk);
  ASSERT_EQ(SerialClose(port), kSerialOk);
  // Another port may take the same slot; the old handle must not reach it.
  PortHandle next = kNoPort;
  ASSERT_EQ(SerialOpen(pty.Name().c_str(), kDefaultLine, kOptions, &next), kSerialOk);
  EXPECT_NE(next, port);

  uint8_t byte = 0x55;
  uint32_t written = 7;
  uint16_t received = 7;
  EXPECT_EQ(SerialClose(port), kSerialIoFailed);
  EXPECT_EQ(SerialWrite(port, &byte, 1, &written), kSerialIoFailed);
  EXPECT_EQ(SerialReadExact(port, &byte, 1, &received), kSerialIoFailed);
  EXPECT_EQ(received, 0);
  EXPECT_EQ(SetReadTimeout(port, 10), 0);
  EXPECT_EQ(PurgeInput(port), 1);
  EXPECT_EQ(SendBreak(1, port), 0);
  for (PortHandle bogus : {kNoPort, PortHandle{-1}, PortHandle{1000}}) {
    EXPECT_EQ(SerialClose(bogus), kSerialIoFailed);
    EXPECT_EQ(SetReadTimeout(bogus, 10), 0);
  }
  EXPECT_EQ(pty.Receive(1, 50).size(), 0u);  // nothing went out on the live port
  EXPECT_EQ(SerialClose(next), kSerialOk);
}

// --- Timeouts --------------------------------------------------------------

TEST_F(OpenPortTest, SetReadTimeoutReturnsThePreviousValueInTensOfMilliseconds) {
  const struct {
    int32_t value;
    int previous;
  } steps[] = {
      {100, 100},  // a new port waits 1000 ms: unchanged
      {5, 100},
      {37, 5},
      {37, 37},
      {-1, 0},  // refused, nothing changes
      {0, 37},
      {250, 0},
  };
  for (const auto& step : steps) EXPECT_EQ(SetReadTimeout(port_, step.value), step.previous) << step.value;
}

// --- Writing ---------------------------------------------------------------

TEST_F(OpenPortTest, WriteSendsEveryByteUnchanged) {
  // Carriage return, line feed, XON, XOFF, interrupt and end-of-file
  // characters are data on this line.
  const std::vector<uint8_t> frame = {0x1B, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x00, 0x7F, 0xFF, 0x17, 0x0D};
  uint32_t written = 0;
  ASSERT_EQ(SerialWrite(port_, frame.data(), static_cast<uint32_t>(frame.size()), &written), kSerialOk);
  EXPECT_EQ(written, frame.size());
  EXPECT_EQ(pty_.Receive(frame.size() + 1, 200), frame);
}

TEST_F(OpenPortTest, WriteLargerThanTheDeviceQueueWaitsForRoom) {
  const std::vector<uint8_t> block = Sequence(40000, 3);
  std::vector<uint8_t> seen;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let the queue fill first
    seen = pty_.Receive(block.size(), 5000);
  });
  uint32_t written = 0;
  EXPECT_EQ(SerialWrite(port_, block.data(), static_cast<uint32_t>(block.size()), &written), kSerialOk);
  reader.join();
  EXPECT_EQ(written, block.size());
  EXPECT_TRUE(seen == block);
}

TEST_F(OpenPortTest, WriteFailsWhenTheFarEndIsGone) {
  pty_.CloseMaster();
  uint8_t byte = 0x06;
  uint32_t written = 99;
  EXPECT_EQ(SerialWrite(port_, &byte, 1, &written), kSerialIoFailed);
}

// --- Reading ---------------------------------------------------------------

TEST_F(OpenPortTest, ReadTakesExactlyTheCountAndLeavesTheRest) {
  const std::vector<uint8_t> sent = {0x0D, 0x11, 0x13, 0x0A, 0x03, 0x04, 0x1A, 0x00, 0xFF, 0x7F, 0x15, 0x06};
  pty_.Send(sent);
  uint8_t buffer[12] = {};
  uint16_t received = 0;
  const int64_t start = MonotonicMs();
  ASSERT_EQ(SerialReadExact(port_, buffer, 5, &received), kSerialOk);
  EXPECT_EQ(received, 5);
  ASSERT_EQ(SerialReadExact(port_, buffer + 5, 7, &received), kSerialOk);
  EXPECT_EQ(received, 7);
  EXPECT_LT(MonotonicMs() - start, 500);  // no timeout waited
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 12), sent);
  EXPECT_EQ(pty_.PendingInput(), 0u);
}

TEST_F(OpenPortTest, ReadCollectsAReplyThatArrivesInTwoPieces) {
  SetReadTimeout(port_, 20);  // 200 ms
  const std::vector<uint8_t> reply = Sequence(24, 0x40);
  pty_.Send({reply.begin(), reply.begin() + 10});
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty_.Send({reply.begin() + 10, reply.end()});
  });
  uint8_t buffer[24] = {};
  uint16_t received = 0;
  const int64_t start = MonotonicMs();
  const int result = SerialReadExact(port_, buffer, 24, &received);
  const int64_t elapsed = MonotonicMs() - start;
  late.join();
  EXPECT_EQ(result, kSerialOk);
  EXPECT_EQ(received, 24);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 24), reply);
  // The first read ends at its timeout with 10 bytes; the second ends when
  // the other 14 arrive.
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 300 + kLateMs);
}

TEST_F(OpenPortTest, ReadTimesOutOnAPartialReplyAfterTwoTimeouts) {
  SetReadTimeout(port_, 20);
  pty_.Send(Sequence(10));
  ASSERT_TRUE(pty_.WaitPendingInput(10, 1000));
  uint8_t buffer[24] = {};
  uint16_t received = 0;
  const int64_t start = MonotonicMs();
  EXPECT_EQ(SerialReadExact(port_, buffer, 24, &received), kSerialIoFailed);
  const int64_t elapsed = MonotonicMs() - start;
  EXPECT_EQ(received, 10);
  EXPECT_GE(elapsed, 400);
  EXPECT_LT(elapsed, 400 + kLateMs);
}

TEST_F(OpenPortTest, ReadTimesOutAfterOneTimeoutWhenNothingArrives) {
  for (int32_t timeout : {20, 5}) {
    SetReadTimeout(port_, timeout);
    uint8_t buffer[4];
    uint16_t received = 99;
    const int64_t start = MonotonicMs();
    EXPECT_EQ(SerialReadExact(port_, buffer, 4, &received), kSerialIoFailed);
    const int64_t elapsed = MonotonicMs() - start;
    EXPECT_EQ(received, 0);
    EXPECT_GE(elapsed, timeout * 10);
    EXPECT_LT(elapsed, timeout * 10 + kLateMs);
  }
}

TEST_F(OpenPortTest, ZeroTimeoutTakesOnlyWhatIsThere) {
  SetReadTimeout(port_, 0);
  pty_.Send(Sequence(3));
  ASSERT_TRUE(pty_.WaitPendingInput(3, 1000));
  uint8_t buffer[8];
  uint16_t received = 0;
  const int64_t start = MonotonicMs();
  EXPECT_EQ(SerialReadExact(port_, buffer, 8, &received), kSerialIoFailed);
  EXPECT_EQ(received, 3);
  EXPECT_LT(MonotonicMs() - start, 50);
}

TEST_F(OpenPortTest, ReadFailsAtOnceWhenTheFarEndHangsUp) {
  pty_.CloseMaster();
  uint8_t buffer[4];
  uint16_t received = 99;
  const int64_t start = MonotonicMs();
  EXPECT_EQ(SerialReadExact(port_, buffer, 4, &received), kSerialIoFailed);
  EXPECT_EQ(received, 0);
  EXPECT_LT(MonotonicMs() - start, 500);  // not a whole 1000 ms timeout
}

// --- Purging ---------------------------------------------------------------

TEST_F(OpenPortTest, PurgeOfAnEmptyQueueReadsNothingAndKeepsTheTimeout) {
  SetReadTimeout(port_, 37);
  const int64_t start = MonotonicMs();
  EXPECT_EQ(PurgeInput(port_), 0);
  EXPECT_LT(MonotonicMs() - start, 30);  // a read would have waited 50 ms
  EXPECT_EQ(SetReadTimeout(port_, 37), 37);
}

TEST_F(OpenPortTest, PurgeReadsChunksUntilAShortOneAndRestoresTheTimeout) {
  SetReadTimeout(port_, 37);
  pty_.Send(Sequence(1100));
  ASSERT_TRUE(pty_.WaitPendingInput(1100, 1000));
  // Bytes that come after the short last chunk (512, 512, 76) has ended the
  // purge are not its business.
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    pty_.Send({0xA1, 0xA2, 0xA3});
  });
  const int64_t start = MonotonicMs();
  EXPECT_EQ(PurgeInput(port_), 0);
  const int64_t elapsed = MonotonicMs() - start;
  later.join();
  EXPECT_GE(elapsed, 45);  // the 76-byte chunk waits out its 50 ms
  EXPECT_LT(elapsed, 50 + kLateMs);
  EXPECT_EQ(SetReadTimeout(port_, 100), 37);
  uint8_t buffer[3] = {};
  uint16_t received = 0;
  EXPECT_EQ(SerialReadExact(port_, buffer, 3, &received), kSerialOk);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
}

// A far end that keeps sending, in blocks of `block` bytes every `pauseMs`,
// until it is destroyed; after 4 s it gives up by itself, so that a purge
// without a bound fails the test instead of hanging it.
class Chatterbox {
 public:
  Chatterbox(PtyPair& pty, size_t block, int pauseMs)
      : thread_([this, &pty, block, pauseMs] {
          const std::vector<uint8_t> bytes(block, 0x5A);
          const int64_t giveUp = MonotonicMs() + 4000;
          while (!stop_ && MonotonicMs() < giveUp) {
            // One attempt per round: a full queue must not keep it from stopping.
            if (write(pty.Master(), bytes.data(), bytes.size()) < 0 && pauseMs == 0) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
          }
        }) {}
  ~Chatterbox() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(OpenPortTest, PurgeEndsAgainstAFarEndThatKeepsSending) {
  struct Case {
    const char* what;
    size_t block;
    int pauseMs;
  };
  // Flooding fills 64 chunks at once; a steady 512 bytes in about 25 ms
  // keeps every chunk full until the second has passed.
  for (const Case& c : {Case{"flood", 4096, 0}, Case{"steady", 200, 10}}) {
    SCOPED_TRACE(c.what);
    SetReadTimeout(port_, 100);
    Chatterbox far(pty_, c.block, c.pauseMs);
    ASSERT_TRUE(pty_.WaitPendingInput(1, 1000));
    const int64_t start = MonotonicMs();
    EXPECT_EQ(PurgeInput(port_), 0);
    EXPECT_LT(MonotonicMs() - start, 1000 + 50 + 2 * kLateMs);
    EXPECT_EQ(SetReadTimeout(port_, 100), 100);
  }
}

// --- Break -----------------------------------------------------------------

TEST_F(OpenPortTest, BreakLastsItsDurationAndLeavesThePortWorking) {
  const int64_t start = MonotonicMs();
  EXPECT_EQ(SendBreak(20, port_), 0);
  EXPECT_GE(MonotonicMs() - start, 20);
  const uint8_t byte = 0x42;
  uint32_t written = 0;
  ASSERT_EQ(SerialWrite(port_, &byte, 1, &written), kSerialOk);
  EXPECT_EQ(pty_.Receive(1, 200), std::vector<uint8_t>{0x42});
}

}  // namespace
