// The board's network file, read by the load request. Each test writes its
// own kelG1NN.int into the current directory with a board number no other
// test uses, and removes it afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "driver/network_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/network_file_fixture.h"

namespace {

// A context as a host hands it over, except that the station table and the
// wait hold leftovers that the load must replace.
struct Board {
  explicit Board(int32_t number) : number(number) {
    std::memset(context.snpIds, '#', sizeof context.snpIds);
    context.attachWait = 777;
  }
  // Load without a serial port: only the network file is read.
  int32_t Load() {
    LoadParams params{};
    std::strcpy(params.portName, "COM1");
    params.portInUse = 0;
    params.readTimeout = 100;
    params.line = LineSettings{19200, 8, 0, 1};
    KelRequest request{&context, kRequestLoadDriver, number, 0, &params};
    return KelMain(&request);
  }
  std::string Id(int station) const {
    return std::string(context.snpIds[station], strnlen(context.snpIds[station], kSnpIdSlotSize));
  }

  int32_t number;
  DriverContext context{};
};

LogLine Info(const std::string& text) { return LogLine{32, text}; }

std::string Illegal(int index, const std::string& file) {
  return "KelG1: Line " + std::to_string(index) + " in file " + file + " is illegal !";
}

TEST(NetworkFile, AbsentFileMeansPeerToPeerMode) {
  Board board(701);
  LogCapture log;
  EXPECT_EQ(board.Load(), 0);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KelG1 : File kelG1701.int not found, Peer To Peer Mode")});
  for (int station = 0; station < kStationSlots; ++station) {
    for (int i = 0; i < kSnpIdSlotSize; ++i) ASSERT_EQ(board.context.snpIds[station][i], '\0') << station;
  }
  EXPECT_EQ(board.context.attachWait, 20);
  EXPECT_EQ(board.context.rtsControl, 0u);
  EXPECT_EQ(board.context.port, kNoPort);
}

TEST(NetworkFile, FileNameCarriesTheBoardNumberWithAtLeastTwoDigits) {
  const struct {
    int32_t board;
    const char* file;
  } cases[] = {{7, "kelG107.int"}, {703, "kelG1703.int"}, {999999, "kelG1999999.int"}, {-99999, "kelG1-99999.int"}};
  for (const auto& c : cases) {
    LogCapture log;
    Board board(c.board);
    EXPECT_EQ(board.Load(), 0) << c.board;
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info(std::string("KelG1 : File ") + c.file +
                                                     " not found, Peer To Peer Mode")});
  }
  NetworkFile file(7, "07SEVEN\n");
  Board board(7);
  EXPECT_EQ(board.Load(), 0);
  EXPECT_EQ(board.Id(7), "SEVEN");
}

TEST(NetworkFile, BoardNumberTooLongForTheFileNameFailsTheLoad) {
  for (int32_t number : {1000000, -100000, 2147483647}) {
    LogCapture log;
    Board board(number);
    EXPECT_EQ(board.Load(), 2) << number;
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KelG1: Board number " + std::to_string(number) +
                                                     " out of range")});
  }
}

TEST(NetworkFile, WaitOnTheFirstLine) {
  const struct {
    const char* text;
    uint16_t wait;  // 0: invalid, the load's 20 stays
  } cases[] = {
      {"WAIT1000\n", 1000}, {"WAIT10\n", 10},   {"wait 50\n", 50},   {"WAIT0050\n", 50}, {"Wait:100\n", 100},
      {"WAIT9\n", 0},       {"WAIT1001\n", 0},  {"WAIT\n", 0},       {"WAIT01000\n", 0}, {"WAIT5X\n", 0},
      {"WAIT0\n", 0},       {"WAITS\n", 0},
  };
  NetworkFile file(704, "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    file.Write(std::string(c.text) + "01PLCA\n");
    Board board(704);
    LogCapture log;
    EXPECT_EQ(board.Load(), 0);
    if (c.wait != 0) {
      EXPECT_EQ(board.context.attachWait, c.wait);
      EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info("KelG1: Attach response Wait Time is " +
                                                       std::to_string(c.wait * 10) + " mSec")});
    } else {
      EXPECT_EQ(board.context.attachWait, 20);
      EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Info("KelG1: Invalid Wait Time in File kelG1704.int"),
                                                    Info("KelG1: Attach Wait Time is set to 200 mSec")}));
    }
    EXPECT_EQ(board.Id(1), "PLCA");  // the reading goes on after the wait line
  }
}

TEST(NetworkFile, WaitAndRtsCountOnlyOnTheFirstLine) {
  const struct {
    const char* text;
    int32_t result;
    uint32_t rts;
    std::vector<LogLine> log;
  } cases[] = {
      {"RTS\n01PLCA\n", 0, 1, {}},
      {"rts on\n01PLCA\n", 0, 1, {}},
      {"01PLCA\nRTS\n", 2, 0, {Info(Illegal(1, "kelG1705.int"))}},
      {"01PLCA\nWAIT50\n", 2, 0, {Info(Illegal(1, "kelG1705.int"))}},
      {"WAIT50\nRTS\n", 2, 0,
       {Info("KelG1: Attach response Wait Time is 500 mSec"), Info(Illegal(1, "kelG1705.int"))}},
  };
  NetworkFile file(705, "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    file.Write(c.text);
    Board board(705);
    LogCapture log;
    EXPECT_EQ(board.Load(), c.result);
    EXPECT_EQ(board.context.rtsControl, c.rts);
    EXPECT_EQ(log.Lines(), c.log);
  }
}

TEST(NetworkFile, IllegalLineStopsTheReadingAndFailsTheLoad) {
  const struct {
    const char* text;
    int index;
    int storedUpTo;  // stations 1..storedUpTo were read before it
  } cases[] = {
      {"00PLC\n", 0, 0}, {"65PLC\n", 0, 0}, {"A1PLC\n", 0, 0}, {"1\n", 0, 0},
      {"*01A\n", 0, 0},  {"01A\n02B\n99C\n03D\n", 2, 2},          {"01A\n02B\n65C\n", 2, 2},
  };
  NetworkFile file(706, "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    file.Write(c.text);
    Board board(706);
    LogCapture log;
    EXPECT_EQ(board.Load(), 2);
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info(Illegal(c.index, "kelG1706.int"))});
    EXPECT_EQ(board.context.port, kNoPort);
    for (int station = 1; station <= 3; ++station) {
      EXPECT_EQ(board.Id(station).empty(), station > c.storedUpTo) << station;
    }
  }
}

TEST(NetworkFile, StationLines) {
  NetworkFile file(707,
                   "01PLCA\n"
                   "02PLCB*\n"
                   "03PLCNAME12\n"  // an ID keeps 8 characters
                   "04*\n"          // SNPX without an ID
                   "05ABC*DEF\n"    // nothing after '*' counts
                   "06 plc-f *\r\n" // blanks, punctuation and CR dropped, letters upper-cased
                   "64LAST");       // no newline at the end
  Board board(707);
  board.context.snpxStation[1] = 1;  // every station line sets the flag anew
  board.context.snpxStation[9] = 1;  // stations without a line keep theirs
  LogCapture log;
  EXPECT_EQ(board.Load(), 0);
  EXPECT_TRUE(log.Lines().empty());
  const struct {
    int station;
    const char* id;
    uint8_t snpx;
  } expected[] = {{1, "PLCA", 0}, {2, "PLCB", 1}, {3, "PLCNAME1", 0}, {4, "", 1},
                  {5, "ABC", 1},  {6, "PLCF", 1}, {64, "LAST", 0},    {9, "", 1}};
  for (const auto& e : expected) {
    EXPECT_EQ(board.Id(e.station), e.id) << e.station;
    EXPECT_EQ(board.context.snpxStation[e.station], e.snpx) << e.station;
  }
  // The rest of an 8-character slot stays empty.
  for (int i = 8; i < kSnpIdSlotSize; ++i) EXPECT_EQ(board.context.snpIds[3][i], '\0');
  EXPECT_EQ(board.Id(0), "");
}

TEST(NetworkFile, StationListedTwiceIsOverwrittenPositionByPosition) {
  NetworkFile file(708, "05ABCDEF*\n05XY\n");
  Board board(708);
  EXPECT_EQ(board.Load(), 0);
  EXPECT_EQ(board.Id(5), "XYCDEF");
  EXPECT_EQ(board.context.snpxStation[5], 0);
}

TEST(NetworkFile, LineWithoutContentEndsTheReadingQuietly) {
  const char* texts[] = {
      "01A\n02B\n03C\n\n04D\n",
      "01A\n02B\n03C\n \t-.\r\n04D\n",  // only dropped characters
      "01A\n02B\n03C\n\n\n",
  };
  NetworkFile file(709, "");
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    file.Write(text);
    Board board(709);
    LogCapture log;
    EXPECT_EQ(board.Load(), 0);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(board.Id(3), "C");
    EXPECT_EQ(board.Id(4), "");
  }
}

TEST(NetworkFile, LogicalLinesAreAtMostFifteenCharacters) {
  const struct {
    const char* text;
    std::vector<std::string> ids;  // stations 1, 2, 3
  } cases[] = {
      // Fifteen characters: the newline after them is read alone, as an
      // empty line, and ends the reading.
      {"01ABCDEFGHIJKLM\n02X\n", {"ABCDEFGH", "", ""}},
      // Longer: the rest of the physical line is the next logical line.
      {"01AAAAAAAAAAAAA02XY\n03Z\n", {"AAAAAAAA", "XY", "Z"}},
      // Dropped characters count towards the fifteen.
      {"01-A-B-C-D-E-F-02Q\n03Z\n", {"ABCDEF", "Q", "Z"}},
      // Fourteen and the newline: an ordinary line.
      {"01ABCDEFGHIJKL\n02X\n", {"ABCDEFGH", "X", ""}},
  };
  NetworkFile file(710, "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    file.Write(c.text);
    Board board(710);
    EXPECT_EQ(board.Load(), 0);
    for (int station = 1; station <= 3; ++station) EXPECT_EQ(board.Id(station), c.ids[station - 1]) << station;
  }
}

TEST(NetworkFile, CutLineCanBeIllegal) {
  NetworkFile file(711, "01 A B C D E F G02Q\n");  // the second logical line is "G02Q"
  Board board(711);
  LogCapture log;
  EXPECT_EQ(board.Load(), 2);
  EXPECT_EQ(board.Id(1), "ABCDEF");
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{Info(Illegal(1, "kelG1711.int"))});
}

TEST(NetworkFile, EveryLoadClearsTheStationTable) {
  NetworkFile file(712, "01FIRST*\n02SECOND\n");
  Board board(712);
  ASSERT_EQ(board.Load(), 0);
  file.Write("02TWO\n");
  ASSERT_EQ(board.Load(), 0);
  EXPECT_EQ(board.Id(1), "");
  EXPECT_EQ(board.Id(2), "TWO");
  EXPECT_EQ(board.context.snpxStation[1], 1);  // only a station line writes the flag
}

TEST(NetworkFile, ReloadFollowsTheRtsLineOfTheFileItReads) {
  struct Case {
    const char* first;
    uint32_t firstRts;
    const char* second;
    uint32_t rts;
  } const cases[] = {
      {"RTS\n01PLCA\n", 1, "01PLCA\n", 0},
      {"RTS\n01PLCA\n", 1, nullptr, 0},  // the file is gone: peer-to-peer mode, no RTS
      {"01PLCA\n", 0, "RTS\n01PLCA\n", 1},
      {"RTS\n", 1, "RTS\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    Board board(713);
    {
      NetworkFile file(713, c.first);
      ASSERT_EQ(board.Load(), 0);
      EXPECT_EQ(board.context.rtsControl, c.firstRts);
      if (c.second != nullptr) {
        file.Write(c.second);
        ASSERT_EQ(board.Load(), 0);
      }
    }
    if (c.second == nullptr) {
      ASSERT_EQ(board.Load(), 0);
    }
    EXPECT_EQ(board.context.rtsControl, c.rts);
  }
}

// The fuzz target feeds the reader from memory; what it reads there must be
// what the load reads from the file, messages included.
TEST(NetworkFile, MemoryAndFileGiveTheSameTableAndMessages) {
  const std::string texts[] = {"01PLCA\n02PLCB*\n", "WAIT50\r\n01A\n", "RTS\n64ABCDEFGHIJ\n", "wait5\n01x\n",
                               "01A\n99B\n", "01 A B C D E F G02Q\n", "01A\n\n02B\n", ""};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    NetworkFile file(714, text);
    Board fromFile(714);
    LogCapture fileLog;
    const int32_t loaded = fromFile.Load();
    const std::vector<LogLine> fileLines = fileLog.Lines();

    Board fromMemory(714);
    // As the load leaves the context before it reads the file.
    std::memset(fromMemory.context.snpIds, 0, sizeof fromMemory.context.snpIds);
    fromMemory.context.attachWait = 20;
    LogCapture memoryLog;
    ConfigBuffer buffer{reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0};
    const int result = ReadNetworkLines(&fromMemory.context, "kelG1714.int", BufferSource(&buffer));
    EXPECT_EQ(loaded, result == kNetworkFileUsable ? 0 : 2);
    EXPECT_EQ(std::memcmp(fromFile.context.snpIds, fromMemory.context.snpIds, sizeof fromFile.context.snpIds), 0);
    EXPECT_EQ(std::memcmp(fromFile.context.snpxStation, fromMemory.context.snpxStation,
                          sizeof fromFile.context.snpxStation),
              0);
    EXPECT_EQ(fromFile.context.attachWait, fromMemory.context.attachWait);
    EXPECT_EQ(fromFile.context.rtsControl, fromMemory.context.rtsControl);
    EXPECT_EQ(memoryLog.Lines(), fileLines);
    EXPECT_LE(buffer.cursor, text.size());
  }
}

}  // namespace
