// The read and write requests through KelMain on the fake line: which frames
// a tag becomes, where values land in the host's buffer, read-before-write of
// a register bit, the refusals and the request-level messages.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "driver/host_interface.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

constexpr const char* kBroadcastAttach = "1B 58 FF*8 00*8 17 00*4 79";

// Station 1 speaks SNP as "PLC1", station 2 SNPX as "PLC2"; both count as
// attached, so the first try of an exchange attaches nothing.
struct RequestBoard : FakeBoard {
  std::array<uint16_t, 8> data;

  RequestBoard() {
    SnpStation(1, "PLC1");
    SnpxStation(2, "PLC2");
    data.fill(0xEEEE);
  }
  void AttachedTo(int station) { Attached(station); }

  // A tag as the parse requests return it.
  TagRecord Tag(const char* gas, int32_t station, char area, int32_t element, int32_t bit, int32_t count = 1) {
    TagRecord tag{};
    tag.gas = gas;
    tag.station = station;
    tag.area = area;
    tag.element = element;
    tag.bit = bit;
    tag.width = area == 'F' ? 32 : 16;
    tag.count = count;
    tag.data = data.data();
    tag.hostField1 = 0x11111111;
    tag.hostField2 = 0x22222222;
    tag.hostField3 = 0x33333333;
    return tag;
  }

  // Runs the request and checks that the host's record came back unchanged.
  int32_t Call(uint32_t code, TagRecord& tag) {
    const TagRecord before = tag;
    KelRequest request{&context, code, 1, 0, &tag};
    const int32_t result = KelMain(&request);
    EXPECT_EQ(std::memcmp(&before, &tag, sizeof tag), 0) << "the request changed the host's TagRecord";
    return result;
  }
};

std::vector<uint16_t> Values(const RequestBoard& board, size_t count) {
  return std::vector<uint16_t>(board.data.begin(), board.data.begin() + static_cast<std::ptrdiff_t>(count));
}

TEST(ReadRequests, WhereValuesLand) {
  struct Case {
    const char* name;
    uint32_t code;
    char area;
    int32_t element, bit, count;
    const char* request;
    Bytes responseData;
    std::vector<uint16_t> values;  // the first words of the buffer afterwards
  } const cases[] = {
      {"single %R1: second word", kRequestReadSingle, 'R', 0, kNoBit, 7,
       "1B 58 50 4C 43 32 00 00 00 00 01 08 00 00 01 00 00 00 17 00 00 00 00 C7", Hex("34 12"),
       {0xEEEE, 0x1234, 0xEEEE}},
      {"single F element 3: first two words", kRequestReadSingle, 'F', 1, kNoBit, 1,
       "1B 58 50 4C 43 32 00 00 00 00 01 08 02 00 02 00 00 00 17 00 00 00 00 D1", Hex("78 56 34 12"),
       {0x5678, 0x1234, 0xEEEE}},
      {"single bit 5 of %R10: second word", kRequestReadSingle, 'R', 9, 5, 1,
       "1B 58 50 4C 43 32 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 8F", Hex("20 00"),
       {0xEEEE, 1, 0xEEEE}},
      {"single %M17: one bit", kRequestReadSingle, 'M', 1, 0, 1,
       "1B 58 50 4C 43 32 00 00 00 00 01 4C 10 00 01 00 00 00 17 00 00 00 00 03", Hex("FE"),
       {0xEEEE, 0, 0xEEEE}},
      {"block of 4 words of %Q from %Q17", kRequestReadBlock, 'Q', 1, 0, 4,
       "1B 58 50 4C 43 32 00 00 00 00 01 12 02 00 08 00 00 00 17 00 00 00 00 64",
       Hex("01 02 03 04 05 06 07 08"), {0x0201, 0x0403, 0x0605, 0x0807, 0xEEEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBoard board;
    board.AttachedTo(2);
    TagRecord tag = board.Tag("02X", 2, c.area, c.element, c.bit, c.count);
    board.line.Expect(c.request).Reply(peer::SnpxResponse(0, c.responseData));
    EXPECT_EQ(board.Call(c.code, tag), 0);
    EXPECT_EQ(Values(board, c.values.size()), c.values);
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

TEST(ReadRequests, SnpStationIsReadBySnp) {
  RequestBoard board;
  board.AttachedTo(1);
  TagRecord tag = board.Tag("01R00001", 1, 'R', 0, kNoBit);
  board.line.Expect("1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 00 00 01 00 00*8 17 00*4 37")
      .Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("CD AB")));
  board.line.Expect("06 00");
  EXPECT_EQ(board.Call(kRequestReadSingle, tag), 0);
  EXPECT_EQ(Values(board, 2), (std::vector<uint16_t>{0xEEEE, 0xABCD}));
}

TEST(ReadRequests, FailureMessages) {
  struct Case {
    const char* name;
    uint32_t code;
    int32_t station;
    int32_t bit;
    int32_t result;
    LogLine last;
  } const cases[] = {
      {"single bit", kRequestReadSingle, 2, 5, 1, {32, "KelG1: Read failed. Plc 2. RC=1. GAS= 02R000105"}},
      {"single element reports as a block", kRequestReadSingle, 2, kNoBit, 1,
       {32, "KelG1:Read failed. Plc 2. rc = 1. GAS= 02R000105"}},
      {"block", kRequestReadBlock, 2, kNoBit, 1, {32, "KelG1:Read failed. Plc 2. rc = 1. GAS= 02R000105"}},
      {"SNP station not attached", kRequestReadSingle, 1, 5, 2, {32, "KelG1: Read failed. Plc 1. RC=2. GAS= 02R000105"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBoard board;
    board.context.attachWait = 1;
    // Nobody answers; the lower-case GAS is quoted in upper case.
    TagRecord tag = board.Tag("02r000105", c.station, 'R', 9, c.bit);
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (c.station == 1) {
        for (int i = 0; i < 8; ++i) board.line.Expect(peer::SnpAttachRequest("PLC1"));
      } else {
        board.line.Expect(kBroadcastAttach);
        board.line.Expect("1B 58 50 4C 43 32 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 8F");
      }
    }
    EXPECT_EQ(board.Call(c.code, tag), c.result);
    ASSERT_FALSE(board.log.Lines().empty());
    EXPECT_EQ(board.log.Lines().back(), c.last);
    EXPECT_EQ(Values(board, 3), (std::vector<uint16_t>{0xEEEE, 0xEEEE, 0xEEEE}));
    board.line.VerifyDone();
  }
}

TEST(WriteRequests, ReadBeforeWriteChangesOneBitOfThePlcWord) {
  struct Case {
    const char* name;
    uint16_t hostValue;
    Bytes plcWord;
    const char* write;
  } const cases[] = {
      {"set bit 5 of 0x0100", 1, Hex("00 01"),
       "1B 58 50 4C 43 32 00 00 00 00 02 08 09 00 01 00 20 01 17 00 00 00 00 BF"},
      {"only the lowest bit of the host value counts", 0xFFFE, Hex("FF FF"),
       "1B 58 50 4C 43 32 00 00 00 00 02 08 09 00 01 00 DF FF 17 00 00 00 00 FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBoard board;
    board.AttachedTo(2);
    board.data[1] = c.hostValue;
    TagRecord tag = board.Tag("02R000105", 2, 'R', 9, 5);
    board.line.Expect("1B 58 50 4C 43 32 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 8F")
        .Reply(peer::SnpxResponse(0, c.plcWord));
    board.line.Expect(c.write).Reply(peer::SnpxResponse(0));
    EXPECT_EQ(board.Call(kRequestWriteSingle, tag), 0);
    EXPECT_EQ(Values(board, 3), (std::vector<uint16_t>{0xEEEE, c.hostValue, 0xEEEE}));
  }
}

TEST(WriteRequests, ReadBeforeWriteOnAnSnpStation) {
  RequestBoard board;
  board.AttachedTo(1);
  board.data[1] = 0;
  TagRecord tag = board.Tag("01R000105", 1, 'R', 9, 5);
  board.line.Expect("1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 09 00 01 00 00*8 17 00*4 25")
      .Reply(peer::kAck + peer::MailboxReply(0xD4, Hex("FF FF")));
  board.line.Expect("06 00");
  board.line.Expect("1B 4D 00*7 C0 10 3A 00 00 10 0A 00 00 01 01 07 08 09 00 01 00 DF FF 00*6 17 00*4 39")
      .Reply(peer::kAck + peer::MailboxReply(0xD4));
  board.line.Expect("06 00");
  EXPECT_EQ(board.Call(kRequestWriteSingle, tag), 0);
  EXPECT_EQ(board.data[1], 0);
}

TEST(WriteRequests, FailedReadBeforeWriteSendsNoWrite) {
  RequestBoard board;
  board.AttachedTo(2);
  board.data[1] = 1;
  TagRecord tag = board.Tag("02R000105", 2, 'R', 9, 5);
  const char* read = "1B 58 50 4C 43 32 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 8F";
  board.line.Expect(read).Reply(peer::SnpxResponse(3));
  board.line.Expect(kBroadcastAttach).Expect(read).Reply(peer::SnpxResponse(3));
  board.line.Expect(kBroadcastAttach).Expect(read).Reply(peer::SnpxResponse(3));
  EXPECT_EQ(board.Call(kRequestWriteSingle, tag), 1);
  const LogLine error{32, "kelG1: SNPX Error Code 0x0003 from Station PLC2"};
  EXPECT_EQ(board.log.Lines(),
            (std::vector<LogLine>{error, error, error,
                                  {32, "KELG1: Read before Write failed. Plc 2 rc = 1. GAS= 02R000105"}}));
  EXPECT_EQ(board.data[1], 1);
}

TEST(WriteRequests, WhatIsSentFromWhere) {
  struct Case {
    const char* name;
    uint32_t code;
    char area;
    int32_t element, bit, count;
    std::vector<uint16_t> host;
    std::vector<const char*> frames;  // each answered with status 0
  } const cases[] = {
      {"bit %M17: no read, one bit from the second word", kRequestWriteSingle, 'M', 1, 0, 1, {0, 1},
       {"1B 58 50 4C 43 32 00 00 00 00 02 4C 10 00 01 00 01 00 17 00 00 00 00 E3"}},
      {"single %R1 from the second word", kRequestWriteSingle, 'R', 0, kNoBit, 3, {0x1111, 0xBEEF},
       {"1B 58 50 4C 43 32 00 00 00 00 02 08 00 00 01 00 EF BE 17 00 00 00 00 FF"}},
      {"single F element 1 from the first two words", kRequestWriteSingle, 'F', 0, kNoBit, 1, {0x5678, 0x1234},
       {"1B 58 50 4C 43 32 00 00 00 00 02 08 00 00 02 00 00 00 17 54 0C 00 00 84",
        "1B 54 78 56 34 12 17 00 00 00 00 53"}},
      {"block of 5 registers", kRequestWriteBlock, 'R', 0, kNoBit, 5, {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09},
       {"1B 58 50 4C 43 32 00 00 00 00 02 08 00 00 05 00 00 00 17 54 12 00 00 7A",
        "1B 54 01 02 03 04 05 06 07 08 09 0A 17 00 00 00 00 90"}},
      {"one-element block of a discrete area", kRequestWriteBlock, 'M', 1, 0, 1, {0x0302},
       {"1B 58 50 4C 43 32 00 00 00 00 02 16 02 00 02 00 02 03 17 00 00 00 00 91"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBoard board;
    board.AttachedTo(2);
    std::copy(c.host.begin(), c.host.end(), board.data.begin());
    TagRecord tag = board.Tag("02X", 2, c.area, c.element, c.bit, c.count);
    for (const char* frame : c.frames) board.line.Expect(frame).Reply(peer::SnpxResponse(0));
    EXPECT_EQ(board.Call(c.code, tag), 0);
    EXPECT_EQ(Values(board, c.host.size()), c.host);
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

TEST(WriteRequests, FailureMessages) {
  struct Case {
    const char* name;
    uint32_t code;
    int32_t bit;
    LogLine last;
  } const cases[] = {
      {"single bit", kRequestWriteSingle, 0, {32, "KelG1: Write failed. Plc 2 rc = 1. GAS= 02M00017"}},
      {"single element reports as a block", kRequestWriteSingle, kNoBit,
       {32, "KelG1: Write failed. Plc 2. RC=1. GAS= 02M00017"}},
      {"block", kRequestWriteBlock, kNoBit, {32, "KelG1: Write failed. Plc 2. RC=1. GAS= 02M00017"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestBoard board;
    board.AttachedTo(2);
    board.data[1] = 1;
    TagRecord tag = board.Tag("02m00017", 2, 'M', 1, c.bit);
    // A single element runs as a one-element block from the second word.
    const char* frame =
        c.bit != kNoBit ? "1B 58 50 4C 43 32 00 00 00 00 02 4C 10 00 01 00 01 00 17 00 00 00 00 E3"
        : c.code == kRequestWriteSingle ? "1B 58 50 4C 43 32 00 00 00 00 02 16 02 00 02 00 01 00 17 00 00 00 00 D0"
                                        : "1B 58 50 4C 43 32 00 00 00 00 02 16 02 00 02 00 EE EE 17 00 00 00 00 9C";
    board.line.Expect(frame).Expect(kBroadcastAttach).Expect(frame).Expect(kBroadcastAttach).Expect(frame);
    EXPECT_EQ(board.Call(c.code, tag), 1);
    ASSERT_EQ(board.log.Lines().size(), 4u);
    EXPECT_EQ(board.log.Lines().back(), c.last);
    EXPECT_EQ(board.data[1], 1);
  }
}

TEST(WriteRequests, BlockWriteOutsideRegistersIsRefused) {
  RequestBoard board;
  board.AttachedTo(2);
  TagRecord tag = board.Tag("02m00017", 2, 'M', 1, 0, 5);
  EXPECT_EQ(board.Call(kRequestWriteBlock, tag), 1);
  const std::vector<LogLine> refused = {{32, "KELG1:Block write not allowed. GAS= 02M00017"}};
  EXPECT_EQ(board.log.Lines(), refused);
  EXPECT_TRUE(board.line.Events().empty());
}

TEST(DataRequests, UnusableRecordsTouchNoLine) {
  for (uint32_t code : {kRequestReadSingle, kRequestReadBlock, kRequestWriteSingle, kRequestWriteBlock}) {
    SCOPED_TRACE(code);
    RequestBoard board;
    board.AttachedTo(2);
    struct Variant {
      const char* name;
      void (*spoil)(TagRecord&);
      bool blockOnly;
    } const variants[] = {
        {"no data", [](TagRecord& t) { t.data = nullptr; }, false},
        {"no GAS", [](TagRecord& t) { t.gas = nullptr; }, false},
        {"count 0", [](TagRecord& t) { t.count = 0; }, true},
        {"count -1", [](TagRecord& t) { t.count = -1; }, true},
    };
    for (const Variant& v : variants) {
      if (v.blockOnly && code != kRequestReadBlock && code != kRequestWriteBlock) continue;
      SCOPED_TRACE(v.name);
      TagRecord tag = board.Tag("02R00001", 2, 'R', 0, kNoBit, 2);
      v.spoil(tag);
      EXPECT_EQ(board.Call(code, tag), 1);
    }
    EXPECT_TRUE(board.line.Events().empty());
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

}  // namespace
