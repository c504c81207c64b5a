// The board lifecycle requests through KelMain, as a host calls them, on
// pseudo-terminals. Boards 801 and up are this file's; their network files
// live in the current directory only while a test needs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "serial/serial_port.h"
#include "tests/posix/pty_pair.h"
#include "tests/support/log_capture.h"

namespace {

constexpr LineSettings kLine{19200, 8, 0, 1};

class NetworkFile {
 public:
  NetworkFile(int32_t board, const std::string& text) : name_("kelG1" + std::to_string(board) + ".int") {
    Write(text);
  }
  ~NetworkFile() { std::remove(name_.c_str()); }
  NetworkFile(const NetworkFile&) = delete;
  NetworkFile& operator=(const NetworkFile&) = delete;
  void Write(const std::string& text) const { std::ofstream(name_, std::ios::binary | std::ios::trunc) << text; }

 private:
  std::string name_;
};

LogLine Info(const std::string& text) { return LogLine{32, text}; }

std::string NotFound(int32_t board) {
  return "KelG1 : File kelG1" + std::to_string(board) + ".int not found, Peer To Peer Mode";
}

// One board of a host: its context and the requests on it.
class Board {
 public:
  explicit Board(int32_t number) : number_(number) {}
  ~Board() {
    if (context.port != kNoPort) SerialClose(context.port);
  }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  int32_t Load(const std::string& port, int32_t readTimeout = 100, uint32_t portInUse = 1, LineSettings line = kLine) {
    LoadParams params{};
    std::strncpy(params.portName, port.c_str(), sizeof params.portName - 1);
    params.portInUse = portInUse;
    params.readTimeout = readTimeout;
    params.line = line;
    return Call(kRequestLoadDriver, &params);
  }
  int32_t WarmStart(int32_t plc) {
    WarmStartParams params{plc};
    return Call(kRequestWarmStart, &params);
  }
  int32_t Close(uint32_t code = kRequestClosePort) { return Call(code, nullptr); }
  int32_t Reopen() { return Call(kRequestReopenPort, nullptr); }
  int32_t Change(const std::string& port, int32_t readTimeout, LineSettings line = kLine) {
    PortChangeParams params{};
    std::strncpy(params.portName, port.c_str(), sizeof params.portName - 1);
    params.readTimeout = readTimeout;
    params.line = line;
    return Call(kRequestChangePortSettings, &params);
  }

  // The port's current total read timeout in units of 10 ms, left as it was.
  int PortTimeout() {
    const int previous = SetReadTimeout(context.port, 1);
    SetReadTimeout(context.port, previous);
    return previous;
  }

  DriverContext context{};

 private:
  int32_t Call(uint32_t code, void* params) {
    KelRequest request{&context, code, number_, 0, params};
    return KelMain(&request);
  }
  int32_t number_;
};

// Whether a port handle writes to the far end of this pseudo-terminal.
bool Reaches(PortHandle port, PtyPair& pty) {
  const uint8_t probe[] = {0x06, 0x00};
  uint32_t written = 0;
  if (SerialWrite(port, probe, sizeof probe, &written) != kSerialOk) return false;
  return pty.Receive(2, 500) == std::vector<uint8_t>{0x06, 0x00};
}

// Whether nothing holds the device: it opens, and is closed again.
bool IsFree(const PtyPair& pty) {
  PortHandle port = kNoPort;
  if (SerialOpen(pty.Name().c_str(), kLine, kPortFlagsDefault, &port) != kSerialOk) return false;
  SerialClose(port);
  return true;
}

TEST(LoadDriver, OpensThePortResetsTheLinkAndSetsTheTimeouts) {
  const struct {
    int32_t readTimeout;
    int32_t stored;  // readTimeout in the context: at least 100
    int port;        // the port's own timeout, taken as given
  } cases[] = {{50, 100, 50}, {100, 100, 100}, {250, 250, 250}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.readTimeout);
    PtyPair pty;
    Board board(801);
    board.context.attachedStation = 5;
    board.context.snpxAttached = 1;
    board.context.lastAckTick = 1234;
    board.context.attachWait = 99;
    LogCapture log;
    ASSERT_EQ(board.Load(pty.Name(), c.readTimeout, 1, LineSettings{9600, 8, 0, 2}), 0);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Info(NotFound(801)),
                                                  Info("KELG1: Driver for " + pty.Name() + " loaded successfully")}));
    EXPECT_NE(board.context.port, kNoPort);
    EXPECT_EQ(board.context.readTimeout, c.stored);
    EXPECT_EQ(board.PortTimeout(), c.port);
    EXPECT_EQ(board.context.portInUse, 1u);
    EXPECT_STREQ(board.context.portSettings.name, pty.Name().c_str());
    EXPECT_EQ(board.context.portSettings.line.baudRate, 9600);
    EXPECT_EQ(board.context.portSettings.line.parity, 2);
    EXPECT_EQ(board.context.portSettings.flags, kPortFlagsDefault);
    EXPECT_EQ(board.context.attachedStation, 300);
    EXPECT_EQ(board.context.snpxAttached, 0u);
    EXPECT_EQ(board.context.lastAckTick, 0u);
    EXPECT_EQ(board.context.attachWait, 20);
    EXPECT_EQ(pty.SlaveState().c_cflag & CBAUD, tcflag_t{B9600});
    EXPECT_TRUE(Reaches(board.context.port, pty));
  }
}

TEST(LoadDriver, WithoutAPortOnlyTheFileIsRead) {
  NetworkFile file(802, "WAIT50\n01PLCA*\n");
  Board board(802);
  std::strcpy(board.context.portSettings.name, "old");
  board.context.readTimeout = 42;
  LogCapture log;
  EXPECT_EQ(board.Load("pts/999", 50, 0), 0);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KelG1: Attach response Wait Time is 500 mSec")});
  EXPECT_EQ(board.context.port, kNoPort);
  EXPECT_EQ(board.context.portInUse, 0u);
  EXPECT_EQ(board.context.readTimeout, 42);
  EXPECT_STREQ(board.context.portSettings.name, "old");
  EXPECT_EQ(board.context.attachWait, 50);
  EXPECT_STREQ(board.context.snpIds[1], "PLCA");
  EXPECT_EQ(board.context.snpxStation[1], 1);
  // Nothing to reopen: the kept settings name no device.
  EXPECT_EQ(board.Reopen(), 2);
}

TEST(LoadDriver, ReopenOnAFreshBoardWithoutAPortFails) {
  Board board(803);
  ASSERT_EQ(board.Load("", 100, 0), 0);
  EXPECT_EQ(board.Reopen(), 2);
  EXPECT_EQ(board.context.port, kNoPort);
  EXPECT_EQ(board.context.portInUse, 0u);
}

TEST(LoadDriver, IllegalNetworkFileLeavesThePortAlone) {
  PtyPair pty;
  NetworkFile file(804, "01PLCA\n00PLC\n");
  Board board(804);
  LogCapture log;
  EXPECT_EQ(board.Load(pty.Name()), 2);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KelG1: Line 1 in file kelG1804.int is illegal !")});
  EXPECT_EQ(board.context.port, kNoPort);
  EXPECT_EQ(board.context.portInUse, 0u);
  EXPECT_TRUE(IsFree(pty));
}

TEST(LoadDriver, PortThatCannotBeOpenedFailsTheLoad) {
  Board board(805);
  LogCapture log;
  EXPECT_EQ(board.Load("ttyKelNone"), 2);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Info(NotFound(805)), Info("KELG1: Fail to open ttyKelNone")}));
  EXPECT_EQ(board.context.port, kNoPort);
  EXPECT_EQ(board.context.portSettings.name[0], '\0');  // not updated
}

TEST(LoadDriver, SecondLoadWhileThePortIsOpenFailsAndKeepsTheOldPort) {
  PtyPair pty;
  Board board(806);
  ASSERT_EQ(board.Load(pty.Name(), 100), 0);
  const PortHandle port = board.context.port;
  LogCapture log;
  EXPECT_EQ(board.Load(pty.Name(), 300, 1, LineSettings{9600, 8, 0, 0}), 2);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Info(NotFound(806)), Info("KELG1: Fail to open " + pty.Name())}));
  EXPECT_EQ(board.context.port, port);
  EXPECT_EQ(board.context.readTimeout, 100);
  EXPECT_EQ(board.context.portSettings.line.baudRate, 19200);
  EXPECT_TRUE(Reaches(port, pty));
}

TEST(LoadDriver, SecondLoadOnAnotherDeviceGivesUpTheFirst) {
  PtyPair first;
  PtyPair second;
  Board board(807);
  ASSERT_EQ(board.Load(first.Name()), 0);
  ASSERT_EQ(board.Load(second.Name()), 0);
  EXPECT_TRUE(Reaches(board.context.port, second));
  EXPECT_TRUE(IsFree(first));
}

TEST(LoadDriver, RtsFromTheNetworkFileHoldsOverReopensUntilALoadWithoutIt) {
  PtyPair pty;
  NetworkFile file(808, "RTS\n01PLCA\n");
  Board board(808);
  ASSERT_EQ(board.Load(pty.Name()), 0);
  EXPECT_EQ(board.context.rtsControl, 1u);
  EXPECT_EQ(board.context.portSettings.flags, kPortFlagsRts);
  ASSERT_EQ(board.Close(), 0);
  ASSERT_EQ(board.Reopen(), 0);
  EXPECT_EQ(board.context.portSettings.flags, kPortFlagsRts);
  // A later load follows its file: without the RTS line, RTS is not held on.
  ASSERT_EQ(board.Close(), 0);
  file.Write("01PLCA\n");
  ASSERT_EQ(board.Load(pty.Name()), 0);
  EXPECT_EQ(board.context.rtsControl, 0u);
  EXPECT_EQ(board.context.portSettings.flags, kPortFlagsDefault);
}

TEST(ClosePort, BothCodesCloseAndAClosedPortClosesAgain) {
  for (uint32_t code : {kRequestClosePort, kRequestClosePortToo}) {
    SCOPED_TRACE(code);
    PtyPair pty;
    Board board(809);
    ASSERT_EQ(board.Load(pty.Name()), 0);
    board.context.attachedStation = 4;
    LogCapture log;
    EXPECT_EQ(board.Close(code), 0);
    EXPECT_EQ(board.context.port, kNoPort);
    EXPECT_TRUE(IsFree(pty));
    EXPECT_EQ(board.Close(code), 0);
    EXPECT_EQ(board.context.attachedStation, 4);  // the link state is not touched
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(ReopenPort, OpensTheKeptSettingsWithTheNewPortTimeout) {
  PtyPair pty;
  Board board(810);
  ASSERT_EQ(board.Load(pty.Name(), 30), 0);
  ASSERT_EQ(board.Close(), 0);
  board.context.portInUse = 0;
  EXPECT_EQ(board.Reopen(), 0);
  EXPECT_NE(board.context.port, kNoPort);
  EXPECT_EQ(board.context.portInUse, 1u);
  EXPECT_EQ(board.PortTimeout(), 100);  // 1000 ms, not the load's 300 ms
  EXPECT_EQ(board.context.readTimeout, 100);
  EXPECT_TRUE(Reaches(board.context.port, pty));

  // Reopening a port that is still open fails on the exclusive open.
  const PortHandle port = board.context.port;
  EXPECT_EQ(board.Reopen(), 2);
  EXPECT_EQ(board.context.port, port);
  EXPECT_TRUE(Reaches(port, pty));
}

TEST(ChangePortSettings, AnotherNameClosesTheOldPortFirst) {
  PtyPair first;
  PtyPair second;
  Board board(811);
  ASSERT_EQ(board.Load(first.Name(), 250), 0);
  board.context.attachedStation = 7;
  EXPECT_EQ(board.Change(second.Name(), 0, LineSettings{4800, 7, 2, 2}), 0);
  EXPECT_EQ(board.context.readTimeout, 250);  // 0 keeps it
  EXPECT_STREQ(board.context.portSettings.name, second.Name().c_str());
  EXPECT_EQ(board.context.portSettings.line.baudRate, 4800);
  EXPECT_EQ(board.context.portSettings.line.dataBits, 7);
  EXPECT_EQ(board.context.portSettings.flags, kPortFlagsDefault);
  EXPECT_EQ(board.context.attachedStation, 7);
  EXPECT_EQ(board.PortTimeout(), 100);
  EXPECT_TRUE(Reaches(board.context.port, second));
  EXPECT_TRUE(IsFree(first));
}

TEST(ChangePortSettings, SameNameReconfiguresTheOpenPort) {
  PtyPair pty;
  Board board(812);
  ASSERT_EQ(board.Load(pty.Name(), 100), 0);
  EXPECT_EQ(board.Change(pty.Name(), 30, LineSettings{9600, 8, 0, 1}), 0);
  EXPECT_EQ(board.context.readTimeout, 30);  // no floor here
  EXPECT_EQ(pty.SlaveState().c_cflag & CBAUD, tcflag_t{B9600});
  EXPECT_EQ(board.PortTimeout(), 100);
  EXPECT_TRUE(Reaches(board.context.port, pty));
}

TEST(ChangePortSettings, FailedOpenLeavesNoPort) {
  PtyPair pty;
  Board board(813);
  ASSERT_EQ(board.Load(pty.Name()), 0);
  LogCapture log;
  EXPECT_EQ(board.Change("ttyKelNone", 0), 2);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(board.context.port, kNoPort);
  EXPECT_STREQ(board.context.portSettings.name, "ttyKelNone");
  EXPECT_TRUE(IsFree(pty));
  // Back to the first device.
  EXPECT_EQ(board.Change(pty.Name(), 0), 0);
  EXPECT_TRUE(Reaches(board.context.port, pty));
}

TEST(WarmStart, DiscardsPendingInputAndForgetsTheAttachedStation) {
  PtyPair pty;
  Board board(814);
  ASSERT_EQ(board.Load(pty.Name()), 0);
  pty.Send({0x01, 0x02, 0x03, 0x04});
  ASSERT_TRUE(pty.WaitPendingInput(4, 1000));
  board.context.attachedStation = 3;
  board.context.snpxAttached = 1;
  board.context.lastAckTick = 99;
  LogCapture log;
  EXPECT_EQ(board.WarmStart(7), 0);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KELG1: PLC 7. Warm Start ")});
  EXPECT_EQ(pty.PendingInput(), 0u);
  EXPECT_EQ(board.context.attachedStation, 300);
  EXPECT_EQ(board.context.snpxAttached, 0u);
  EXPECT_EQ(board.context.lastAckTick, 0u);
  EXPECT_EQ(board.PortTimeout(), 100);  // the purge put the timeout back
}

TEST(WarmStart, WithoutAPortStillLogsAndResets) {
  Board board(815);
  ASSERT_EQ(board.Load("", 100, 0), 0);
  board.context.attachedStation = 3;
  LogCapture log;
  EXPECT_EQ(board.WarmStart(-2), 0);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KELG1: PLC -2. Warm Start ")});
  EXPECT_EQ(board.context.attachedStation, 300);
}

}  // namespace
