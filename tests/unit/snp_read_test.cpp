// SNP read on the fake line: the mailbox request, the PLC's reply and text
// buffers, the driver's ACK/NAKs, and the try loop with its attaches.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "exchange/access.h"
#include "snp/mailbox.h"
#include "snp/snp_read.h"
#include "snp/snp_write.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

constexpr const char* kReadR1 = "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 00 00 01 00 00*8 17 00*4 37";
constexpr const char* kReadR10 = "1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 09 00 01 00 00*8 17 00*4 25";
const LogLine kIllegalRead{8, "KELG1:Illegal response for read received from PLC!"};
const LogLine kNoTextBuffer{8, "kelg1:Could not read Text Buffer Message"};

Bytes Counting(int count, int first = 1) {
  Bytes bytes;
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(first + i));
  return bytes;
}

// One reply case of SnpGetResponse: the mailbox reply on the line, then for
// each answer of the driver what the PLC sends next.
struct Step {
  const char* driver;
  Bytes peer;
};

struct ReplyCase {
  const char* name;
  uint8_t code;
  AccessDescriptor access;
  Bytes reply;
  std::vector<Step> steps;
  int result;
  std::vector<uint16_t> values;
  std::vector<LogLine> log;
};

const AccessDescriptor kOneWord{8, kModeWord, 0, 1, kNoBit};
const AccessDescriptor kThreeWords{8, kModeWord, 0, 3, kNoBit};
const AccessDescriptor kFourWords{8, kModeWord, 0, 4, kNoBit};

void RunReplyCase(const ReplyCase& c) {
  SCOPED_TRACE(c.name);
  FakeBoard board;
  board.line.Reply(c.reply);
  for (const Step& step : c.steps) {
    board.line.Expect(step.driver);
    if (!step.peer.empty()) board.line.Reply(step.peer);
  }
  std::array<uint16_t, 6> values;
  values.fill(0xEEEE);
  EXPECT_EQ(SnpGetResponse(&board.context, c.code, &c.access, values.data()), c.result);
  for (size_t k = 0; k < values.size(); ++k) {
    EXPECT_EQ(values[k], k < c.values.size() ? c.values[k] : 0xEEEE) << "value " << k;
  }
  EXPECT_EQ(board.log.Lines(), c.log);
}

TEST(SnpGetResponse, ReadReplies) {
  const Bytes eight = Hex("11 11 22 22 33 33 44 44");
  const std::vector<uint16_t> four = {0x1111, 0x2222, 0x3333, 0x4444};
  Bytes badText = peer::TextBuffer(eight);
  badText.back() ^= 1;
  Bytes partialText = peer::TextBuffer(eight);
  partialText.resize(10);
  const ReplyCase cases[] = {
      {"mailbox data: one word from bytes 22 and 23", kSnpRead, kOneWord, peer::MailboxReply(0xD4, Hex("34 12 56 78")),
       {{"06 00", {}}}, 1, {0x1234}, {}},
      {"mailbox data: six bytes", kSnpRead, kThreeWords, peer::MailboxReply(0xD4, Counting(6)), {{"06 00", {}}}, 1,
       {0x0201, 0x0403, 0x0605}, {}},
      {"mailbox data cannot hold eight bytes", kSnpRead, kFourWords, peer::MailboxReply(0xD4, Counting(8)),
       {{"06 00", {}}}, 0, {}, {kIllegalRead}},
      {"one text buffer", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 16),
       {{"06 00", peer::TextBuffer(eight)}, {"06 00", {}}}, 1, four, {}},
      {"text buffers land one after another", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 11),
       {{"06 00", peer::TextBuffer(Hex("11 11 22"), 13)},
        {"06 00", peer::TextBuffer(Hex("22 33 33 44 44"), 9)},
        {"06 00", peer::TextBuffer(Hex("99"))},  // beyond what was asked: not stored
        {"06 00", {}}},
       1, four, {}},
      {"any first byte, 'T' second", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 16),
       {{"06 00", peer::TextBuffer(eight, 0, 0x00)}, {"06 00", {}}}, 1, four, {}},
      {"first text buffer of length 0", kSnpRead, kOneWord, peer::MailboxReply(0x94, {}, 0), {{"06 00", {}}}, 0, {},
       {kIllegalRead}},
      {"text buffers end before the data", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 14),
       {{"06 00", peer::TextBuffer(Counting(6))}, {"06 00", {}}}, 0, {}, {kIllegalRead}},
      {"text buffer length below 8", kSnpRead, kOneWord, peer::MailboxReply(0x94, {}, 7),
       {{"06 00", peer::TextBuffer({})}}, 0, {}, {kNoTextBuffer}},
      {"text buffer length above 1024", kSnpRead, kOneWord, peer::MailboxReply(0x94, {}, 1025),
       {{"06 00", peer::TextBuffer(Bytes(1017, 0))}}, 0, {}, {kNoTextBuffer}},
      {"text buffer incomplete", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 16),
       {{"06 00", partialText}}, 0, {},
       {kNoTextBuffer}},
      {"text buffer BCC wrong", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 16),
       {{"06 00", badText}, {"15 00", {}}}, 0, {}, {{8, " KELG1: BCC Error in Text Buffer from the PLC"}}},
      {"text buffer without 'T'", kSnpRead, kFourWords, peer::MailboxReply(0x94, {}, 16),
       {{"06 00", peer::TextBuffer(eight, 0, 0x1B, 'M')}, {"15 02", {}}}, 0, {},
       {{8, "KELG1:Sequence Error. Text Buffer message Expected."}}},
      {"read error nack prints no codes", kSnpRead, kOneWord, peer::MailboxReply(0xD1, {}, 0, 5, 10),
       {{"06 00", {}}}, 0, {}, {{8, "KELG1:Error Nack received for read!"}}},
      {"read: other type", kSnpRead, kOneWord, peer::MailboxReply(0xC0), {{"06 00", {}}}, 0, {}, {kIllegalRead}},
      {"reply BCC wrong", kSnpRead, kOneWord, Hex("1B 4D 00*7 D4 00*24 17 00*4 00"), {{"15 00", {}}}, 0, {},
       {{8, "KELG1: BCC Error in slave response"}}},
      {"no reply", kSnpRead, kOneWord, Hex("1B 4D"), {}, 0, {}, {{8, "KELG1: Could not read slave response"}}},
      {"write done", kSnpWrite, kOneWord, peer::MailboxReply(0xD4), {{"06 00", {}}}, 1, {}, {}},
      {"write error nack", kSnpWrite, kOneWord, peer::MailboxReply(0xD1, {}, 0, 0x05, 0x0A), {{"06 00", {}}}, 0, {},
       {{8, "KELG1:Error Nack received for Write! "}, {8, "KELG1: Major ERRCODE = 5, Minor ERRCODE = a"}}},
      {"write: other type", kSnpWrite, kOneWord, peer::MailboxReply(0x94, {}, 16), {{"06 00", {}}}, 0, {},
       {{32, "KELG1: Illegal reply from PLC for Write!"}}},
  };
  for (const ReplyCase& c : cases) RunReplyCase(c);
}

TEST(SnpGetResponse, FiftyTextBuffersAtMost) {
  FakeBoard board;
  const AccessDescriptor access{8, kModeWord, 0, 1, kNoBit};
  board.line.Reply(peer::MailboxReply(0x94, {}, 10));
  for (int i = 0; i < 50; ++i) board.line.Expect("06 00").Reply(peer::TextBuffer(Hex("01 02"), 10));
  board.line.Expect("06 00");
  uint16_t value = 0;
  EXPECT_EQ(SnpGetResponse(&board.context, kSnpRead, &access, &value), 0);
  const std::vector<LogLine> stuck = {{32, "KELG1: Stuck in 'While' loop reading Text buffers. Exiting."}};
  EXPECT_EQ(board.log.Lines(), stuck);
  // The 51st buffer is announced, never received.
  EXPECT_EQ(board.line.Count(Kind::kRead), 51);
}

struct SnpReadBoard : FakeBoard {
  SnpReadBoard() { SnpStation(1, "PLC1"); }
  int32_t Read(const AccessDescriptor& access, uint16_t* values) {
    return SnpRead(&context, 1, context.snpIds[1], &access, values);
  }
};

TEST(SnpRead, AttachedStationOneMailboxNoAttach) {
  SnpReadBoard board;
  board.Attached(1);
  board.line.Expect(kReadR1).Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("CD AB")));
  board.line.Expect("06 00");
  uint16_t value = 0;
  EXPECT_EQ(board.Read(kOneWord, &value), 0);
  EXPECT_EQ(value, 0xABCD);
  EXPECT_EQ(board.line.Count(Kind::kBreak), 0);
  EXPECT_EQ(board.clock.Elapsed(), 0u);
}

TEST(SnpRead, OtherStationIsAttachedFirst) {
  SnpReadBoard board;
  board.Attached(2);
  board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
  board.line.Expect(kReadR1).Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("01 00")));
  board.line.Expect("06 00");
  uint16_t value = 0;
  EXPECT_EQ(board.Read(kOneWord, &value), 0);
  EXPECT_EQ(board.context.attachedStation, 1);
}

// The driver's own NAK stamps the activity tick, so the retry's attach finds
// the station still attached and sends nothing.
TEST(SnpRead, RetryAfterTheDriversNakReusesTheAttachment) {
  SnpReadBoard board;
  board.Attached(1);
  Bytes badReply = peer::MailboxReply(0xD4, Hex("01 00"));
  badReply.back() ^= 0x10;
  board.line.Expect(kReadR1).Reply(peer::kAck + badReply);
  board.line.Expect("15 00");
  board.line.Expect(kReadR1).Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("02 00")));
  board.line.Expect("06 00");
  uint16_t value = 0;
  EXPECT_EQ(board.Read(kOneWord, &value), 0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(board.clock.Sleeps(), std::vector<uint32_t>{20});
  EXPECT_EQ(board.line.Count(Kind::kBreak), 0);
}

TEST(SnpRead, ThreeFailedTriesReturnTheLastTrysResult) {
  struct Case {
    const char* name;
    bool lastAttachFails;
    int32_t result;
  } const cases[] = {{"third attach fails", true, 2}, {"third try gets a NAK", false, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnpReadBoard board;
    board.Attached(1);
    board.context.attachWait = 1;
    // Try 1: NAK from the PLC, which stamps nothing.
    board.line.Expect(kReadR1).Reply("15 00");
    // Try 2: a full attach, then no reply at all.
    board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
    board.line.Expect(kReadR1);
    // Try 3.
    if (c.lastAttachFails) {
      for (int i = 0; i < 8; ++i) board.line.Expect(peer::SnpAttachRequest("PLC1"));
    } else {
      board.line.Expect(peer::SnpAttachRequest("PLC1")).Reply(peer::SnpAttachResponse());
      board.line.Expect(kReadR1).Reply("15 02");
    }
    uint16_t value = 0x5555;
    EXPECT_EQ(board.Read(kOneWord, &value), c.result);
    EXPECT_EQ(value, 0x5555);
    const size_t logLines = c.lastAttachFails ? 2 + 8 : 3;
    EXPECT_EQ(board.log.Lines().size(), logLines);
  }
}

TEST(SnpRead, MoreThanTheStagingBufferIsRefusedBeforeSending) {
  SnpReadBoard board;
  board.Attached(1);
  const AccessDescriptor access{8, kModeWord, 0, 513, kNoBit};
  std::array<uint16_t, 513> values{};
  EXPECT_EQ(board.Read(access, values.data()), 1);
  EXPECT_TRUE(board.line.Events().empty());
}

TEST(SnpReadWord, TextReplyIsRefusedAndTheWordLeftAlone) {
  FakeBoard board;
  board.SnpStation(1, "PLC1");
  board.Attached(1);
  std::memcpy(board.context.gasText, "01R000105", 9);
  TagRecord tag{};
  tag.station = 1;
  KelRequest request{&board.context, kRequestWriteSingle, 1, 0, &tag};
  const AccessDescriptor access{8, kModeWord, 9, 1, 5};
  Bytes badReply = peer::MailboxReply(0xD4, Hex("01 00"));
  badReply.back() ^= 0x01;
  board.line.Expect(kReadR10).Reply(peer::kAck + peer::MailboxReply(0x94, {}, 10));
  board.line.Expect("06 00").Expect("15 02");
  board.line.Expect(kReadR10).Reply(peer::kAck + badReply);
  board.line.Expect("15 00");
  board.line.Expect(kReadR10).Reply(peer::kAck);
  uint16_t word = 0x7777;
  EXPECT_EQ(SnpReadWord(&request, &access, &word), 1);
  EXPECT_EQ(word, 0x7777);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{8, "kelg1:Invalid text buffer received"},
                                                     {8, "kelg1:BCC Error in slave response"},
                                                     {8, "kelg1:Could not read slave response. GAS=01R000105"}}));

  board.log.Clear();
  board.line.Expect(kReadR10).Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("05 80 FF FF")));
  board.line.Expect("06 00");
  EXPECT_EQ(SnpReadWord(&request, &access, &word), 0);
  EXPECT_EQ(word, 0x8005);
}

}  // namespace
