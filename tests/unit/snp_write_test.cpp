// SNP write on the fake line: data in the mailbox or in a text buffer, the
// one-bit byte, and Short Status and Change Privilege Level after attaches.
#include <gtest/gtest.h>

#include <array>

#include "exchange/access.h"
#include "snp/snp_write.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

constexpr const char* kShortStatus = "1B 4D 00*7 C0 10 3A 00 00 10 3E 00 00 01 01 00 00*5 E8 03 01 00*5 17 00*4 A6";
constexpr const char* kChangePrivilege = "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 21 04 00*12 17 00*4 AE";
constexpr const char* kWriteR1 =
    "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 08 00 00 01 00 34 12 00*6 17 00*4 88";

struct SnpWriteBoard : FakeBoard {
  SnpWriteBoard() { SnpStation(1, "PLC1"); }
  int32_t Write(const AccessDescriptor& access, const uint16_t* values) {
    return SnpWrite(&context, 1, context.snpIds[1], &access, values);
  }
  // The PLC accepts a write's data: ACK, a done reply, the driver's ACK.
  void Done(const char* request) {
    line.Expect(request).Reply(peer::kAck + peer::MailboxReply(0xD4));
    line.Expect("06 00");
  }
  void ControlRequests() {
    Done(kShortStatus);
    Done(kChangePrivilege);
  }
};

const AccessDescriptor kOneWord{8, kModeWord, 0, 1, kNoBit};

TEST(SnpWrite, FourRegistersTravelInTheMailbox) {
  SnpWriteBoard board;
  board.Attached(1);
  board.Done("1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 08 00 00 04 00 01 02 03 04 05 06 07 08 17 00*4 28");
  const std::array<uint16_t, 4> values = {0x0201, 0x0403, 0x0605, 0x0807};
  EXPECT_EQ(board.Write({8, kModeWord, 0, 4, kNoBit}, values.data()), 0);
  EXPECT_TRUE(board.log.Lines().empty());
}

TEST(SnpWrite, FiveRegistersGoInATextBuffer) {
  SnpWriteBoard board;
  board.Attached(1);
  board.line.Expect("1B 4D 00*7 80 10 3A 00 00 10 0A 00 00 00 01 0A 00 00*4 01 01 07 08 00 00 05 00 17 54 12 00 00 A8")
      .Reply(peer::kAck);
  board.Done("1B 54 01 02 03 04 05 06 07 08 09 0A 17 00 00 00 00 90");
  const std::array<uint16_t, 5> values = {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09};
  EXPECT_EQ(board.Write({8, kModeWord, 0, 5, kNoBit}, values.data()), 0);
}

TEST(SnpWrite, LargestTextBufferAndBeyond) {
  std::array<uint16_t, 509> values;
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(0x0101 * i);
  const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
  {
    // 508 registers: 1016 data bytes in a text buffer of 1024.
    SnpWriteBoard board;
    board.Attached(1);
    board.line.Expect("1B 4D 00*7 80 10 3A 00 00 10 0A 00 00 00 01 F8 03 00*4 01 01 07 08 00 00 FC 01 17 54 00 04 00 0F")
        .Reply(peer::kAck);
    board.line.Expect(peer::TextBuffer(Bytes(bytes, bytes + 1016))).Reply(peer::kAck + peer::MailboxReply(0xD4));
    board.line.Expect("06 00");
    EXPECT_EQ(board.Write({8, kModeWord, 0, 508, kNoBit}, values.data()), 0);
  }
  {
    // 1018 bytes do not fit one text buffer: refused before anything is sent.
    SnpWriteBoard board;
    board.Attached(1);
    EXPECT_EQ(board.Write({8, kModeWord, 0, 509, kNoBit}, values.data()), 1);
    EXPECT_TRUE(board.line.Events().empty());
  }
}

TEST(SnpWrite, OneBitByteIsTheBitWithinItsByte) {
  struct Case {
    uint16_t bit, index;
    const char* request;
  } const cases[] = {
      {0, 16, "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 4C 10 00 01 00 01 00*7 17 00*4 3E"},
      {3, 19, "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 4C 13 00 01 00 08 00*7 17 00*4 19"},
      {11, 27, "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 4C 1B 00 01 00 08 00*7 17 00*4 09"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bit);
    SnpWriteBoard board;
    board.Attached(1);
    board.context.lastAckTick = board.clock.Tick();
    // The PLC refuses the first mailbox; the retry sends the same byte.
    board.line.Expect(c.request).Reply("15 00");
    board.ControlRequests();
    board.Done(c.request);
    const uint16_t value = 1;
    EXPECT_EQ(board.Write({76, kModeBit, c.index, 1, c.bit}, &value), 0);
    EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{32, "KelG1 : A NAK message received."},
                                                       {8, "KELG1: No ack received after Mailbox w/h textbuffer"}}));
  }
}

TEST(SnpWrite, AttachThenControlRequestsThenRetryRepeatsThem) {
  SnpWriteBoard board;
  board.Attached(2);
  board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
  board.ControlRequests();
  // The PLC answers the data with an error nack.
  board.line.Expect(kWriteR1).Reply(peer::kAck + peer::MailboxReply(0xD1, {}, 0, 0x0C, 0x01));
  board.line.Expect("06 00");
  // Retry: inside the window no new attach, but both control requests again.
  board.ControlRequests();
  board.Done(kWriteR1);
  const uint16_t value = 0x1234;
  EXPECT_EQ(board.Write(kOneWord, &value), 0);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{8, "KELG1:Error Nack received for Write! "},
                                                     {8, "KELG1: Major ERRCODE = c, Minor ERRCODE = 1"}}));
  EXPECT_EQ(board.line.Count(Kind::kBreak), 1);
  EXPECT_EQ(board.clock.Sleeps(), (std::vector<uint32_t>{100, 50}));
}

TEST(SnpWrite, FailedShortStatusThenRetryPurgesPausesAndAttachesAgain) {
  SnpWriteBoard board;
  board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
  board.line.Expect(kShortStatus).Reply("15 00");
  // No ACK/NAK of the driver's yet, so the retry makes a full attach.
  board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
  board.ControlRequests();
  board.Done(kWriteR1);
  const uint16_t value = 0x1234;
  EXPECT_EQ(board.Write(kOneWord, &value), 0);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{32, "KelG1 : A NAK message received."},
                                                     {8, "KELG1: Ack not received for PLC Short Status request!"},
                                                     {8, "KELG1: PLC 1: Short Status Request failed!"}}));
  EXPECT_EQ(board.clock.Sleeps(), (std::vector<uint32_t>{100, 50, 100}));
  // The retry begins with a purge, 50 ms before its break.
  const auto& events = board.line.Events();
  size_t secondBreak = 0;
  for (size_t i = 0, breaks = 0; i < events.size(); ++i) {
    if (events[i].kind == Kind::kBreak && ++breaks == 2) secondBreak = i;
  }
  ASSERT_GT(secondBreak, 0u);
  EXPECT_EQ(events[secondBreak - 1].kind, Kind::kPurge);
  EXPECT_EQ(events[secondBreak].at - events[secondBreak - 1].at, 50u);
}

TEST(SnpWrite, FailedChangePrivilegeThenRetryInsideTheWindow) {
  SnpWriteBoard board;
  board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
  board.Done(kShortStatus);
  board.line.Expect(kChangePrivilege);
  // The driver's ACK to the Short Status keeps the station attached.
  board.ControlRequests();
  board.Done(kWriteR1);
  const uint16_t value = 0x1234;
  EXPECT_EQ(board.Write(kOneWord, &value), 0);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{8, "KELG1: Could not read Ack / NAk message "},
                                                     {8, "KELG1: Ack not received for Change privilage Level!"},
                                                     {8, "KELG1: PLC 1: Change Privilage Level failed!"}}));
  EXPECT_EQ(board.line.Count(Kind::kBreak), 1);
}

TEST(SnpWrite, AttachFailingOnEveryTryGivesTwo) {
  SnpWriteBoard board;
  board.context.attachWait = 1;
  for (int i = 0; i < 24; ++i) board.line.Expect(peer::SnpAttachRequest("PLC1"));
  const uint16_t value = 0x1234;
  EXPECT_EQ(board.Write(kOneWord, &value), 2);
  EXPECT_EQ(board.log.Lines().size(), 24u);
}

}  // namespace
