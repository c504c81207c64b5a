// SNPX on the fake line: the response reader, the read, the short and long
// write and the word read of a read-before-write.
#include <gtest/gtest.h>

#include <array>

#include "snpx/snpx_frames.h"
#include "snpx/snpx_read.h"
#include "snpx/snpx_write.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

constexpr const char* kBroadcastAttach = "1B 58 FF*8 00*8 17 00*4 79";

const LogLine kNoResponse{32, "kelg1: Fail returned from SnpxGetResponse"};
const LogLine kNoResponseLong{32, "kelg1: FAIL returned from SnpxGetResponse"};
const LogLine kBadBcc{8, "kelg1: BCC check failed SnpxGetResponse"};

LogLine ErrorCode(const char* code) { return {32, std::string("kelG1: SNPX Error Code ") + code + " from Station PLC1"}; }

// Station 1 speaks SNPX as "PLC1" and is the attached station.
struct SnpxBoard : FakeBoard {
  SnpxBoard() {
    SnpxStation(1, "PLC1");
    Attached(1);
  }
  const char* Id() const { return context.snpIds[1]; }
};

std::vector<int32_t> ReadSizes(const FakeLine& line) {
  std::vector<int32_t> sizes;
  for (const auto& e : line.Events()) {
    if (e.kind == Kind::kRead) sizes.push_back(e.value);
  }
  return sizes;
}

TEST(SnpxGetResponse, FrameShapes) {
  Bytes badBcc = peer::SnpxResponse(0);
  badBcc.back() ^= 0x01;
  Bytes wrongFirst = peer::SnpxResponse(0);
  wrongFirst[0] = 0x1C;
  Bytes truncated = peer::SnpxResponse(0);
  truncated.pop_back();
  struct Case {
    const char* name;
    Bytes line;
    int result;
    std::vector<int32_t> reads;
    std::vector<LogLine> log;
  } const cases[] = {
      {"15 bytes", peer::SnpxResponse(0), 1, {2, 7, 6}, {}},
      {"type x", peer::SnpxResponse(0, {}, 'x'), 1, {2, 7, 6}, {}},
      {"error status ignores the length field", peer::SnpxResponseWithLength(1, 4, {}), 1, {2, 7, 6}, {}},
      {"4 data bytes: 19 bytes", peer::SnpxResponse(0, Hex("11 22 33 44")), 1, {2, 7, 4, 6}, {}},
      {"521 data bytes fill the buffer", peer::SnpxResponse(0, Bytes(521, 0x5A)), 1, {2, 7, 521, 6}, {}},
      {"first byte not ESC", wrongFirst, 0, {2}, {}},
      {"type Y", peer::SnpxResponse(0, {}, 'Y'), 0, {2}, {}},
      {"BCC one bit off", badBcc, 0, {2, 7, 6}, {kBadBcc}},
      {"14 bytes", truncated, 0, {2, 7, 6}, {}},
      {"announces 522 bytes", Hex("1B 58 00 00 00 00 00 0A 02") + Bytes(600, 0), 0, {2, 7}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnpxBoard board;
    board.line.Reply(c.line);
    std::array<uint8_t, kSnpxBufferSize + 8> buffer;
    buffer.fill(0xA5);
    EXPECT_EQ(SnpxGetResponse(&board.context, buffer.data()), c.result);
    EXPECT_EQ(ReadSizes(board.line), c.reads);
    EXPECT_EQ(board.log.Lines(), c.log);
    // Whatever is left on the line is discarded, and nothing lands beyond the buffer.
    EXPECT_EQ(board.line.Events().back().kind, Kind::kPurge);
    for (size_t i = kSnpxBufferSize; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5) << i;
    if (c.result == 1) {
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.line.size())), c.line);
    }
  }
}

TEST(SnpxRead, AttachedStationOneFrameNoWait) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 99, 10, kNoBit};
  Bytes data;
  for (int i = 1; i <= 20; ++i) data.push_back(static_cast<uint8_t>(i));
  board.line.Expect("1B 58 50 4C 43 31 00 00 00 00 01 08 63 00 0A 00 00 00 17 00 00 00 00 C6")
      .Reply(peer::SnpxResponse(0, data + Hex("EE EE")));
  std::array<uint16_t, 11> values;
  values.fill(0xFFFF);
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, values.data()), 0);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(values[k], (2 * k + 2) << 8 | (2 * k + 1)) << k;
  EXPECT_EQ(values[10], 0xFFFF);
  EXPECT_EQ(board.clock.Elapsed(), 0u);
  EXPECT_TRUE(board.log.Lines().empty());
  // The input is discarded before and right after the request goes out.
  std::vector<Kind> kinds;
  for (const auto& e : board.line.Events()) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kPurge, Kind::kWrite, Kind::kPurge, Kind::kRead, Kind::kRead, Kind::kRead,
                                      Kind::kRead, Kind::kPurge}));
}

TEST(SnpxRead, OtherStationIsAttachedFirst) {
  SnpxBoard board;
  board.context.attachedStation = 2;
  const AccessDescriptor access{76, kModeBit, 37, 1, 5};
  board.line.Expect(kBroadcastAttach);
  board.line.Expect("1B 58 50 4C 43 31 00 00 00 00 01 4C 25 00 01 00 00 00 17 00 00 00 00 A6")
      .Reply(peer::SnpxResponse(0, Hex("20")));
  uint16_t value = 0;
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(board.context.attachedStation, 1);
}

TEST(SnpxRead, ErrorStatusIsRetriedTwiceAfterPauseAndAttach) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 9, 1, kNoBit};
  const char* request = "1B 58 50 4C 43 31 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 83";
  board.line.Expect(request).Reply(peer::SnpxResponse(1));
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(1));
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(1));
  uint16_t value = 0x4321;
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, &value), 1);
  EXPECT_EQ(value, 0x4321);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{ErrorCode("0x0001"), ErrorCode("0x0001"), ErrorCode("0x0001")}));
  EXPECT_EQ(board.clock.Sleeps(), (std::vector<uint32_t>{20, 100, 100, 20, 100, 100}));
}

TEST(SnpxRead, NoAnswerThenAnswer) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 9, 1, kNoBit};
  const char* request = "1B 58 50 4C 43 31 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 83";
  board.line.Expect(request);
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(0, Hex("34 12")));
  uint16_t value = 0;
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, &value), 0);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(board.log.Lines(), std::vector<LogLine>{kNoResponse});
  // One read timeout, the pause, the broadcast attach.
  EXPECT_EQ(board.clock.Elapsed(), 1000u + 20u + 220u);
}

TEST(SnpxRead, BadBccAndShortDataFailTheTry) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 9, 2, kNoBit};
  const char* request = "1B 58 50 4C 43 31 00 00 00 00 01 08 09 00 02 00 00 00 17 00 00 00 00 85";
  Bytes badBcc = peer::SnpxResponse(0, Hex("01 00 02 00"));
  badBcc.back() ^= 0x80;
  board.line.Expect(request).Reply(badBcc);
  // Status 0 with 2 data bytes where 4 are needed.
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(0, Hex("01 00")));
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(0));
  std::array<uint16_t, 2> values = {0xAAAA, 0xBBBB};
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, values.data()), 1);
  EXPECT_EQ(values, (std::array<uint16_t, 2>{0xAAAA, 0xBBBB}));
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{kBadBcc, kNoResponse, kNoResponse, kNoResponse}));
}

TEST(SnpxRead, MoreThan512BytesIsRefusedBeforeSending) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 0, 257, kNoBit};
  std::array<uint16_t, 257> values{};
  EXPECT_EQ(SnpxRead(&board.context, 1, board.Id(), &access, values.data()), 1);
  EXPECT_TRUE(board.line.Events().empty());
}

TEST(SnpxWrite, ShortWriteFrames) {
  struct Case {
    const char* name;
    AccessDescriptor access;
    uint16_t value;
    const char* request;
  } const cases[] = {
      {"word 0x1234 to %R index 9", {8, kModeWord, 9, 1, kNoBit}, 0x1234,
       "1B 58 50 4C 43 31 00 00 00 00 02 08 09 00 01 00 34 12 17 00 00 00 00 7D"},
      {"bit index 37 set", {76, kModeBit, 37, 1, 5}, 1,
       "1B 58 50 4C 43 31 00 00 00 00 02 4C 25 00 01 00 20 00 17 00 00 00 00 D6"},
      {"bit index 37 any non-zero value sets", {76, kModeBit, 37, 1, 5}, 0x0100,
       "1B 58 50 4C 43 31 00 00 00 00 02 4C 25 00 01 00 20 00 17 00 00 00 00 D6"},
      {"bit index 37 clear", {76, kModeBit, 37, 1, 5}, 0,
       "1B 58 50 4C 43 31 00 00 00 00 02 4C 25 00 01 00 00 00 17 00 00 00 00 C6"},
      {"one word of %M: two bytes", {22, kModeWord, 2, 2, kNoBit}, 0xBEEF,
       "1B 58 50 4C 43 31 00 00 00 00 02 16 02 00 02 00 EF BE 17 00 00 00 00 04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SnpxBoard board;
    board.line.Expect(c.request).Reply(peer::SnpxResponse(0));
    const uint16_t value = c.value;
    EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &c.access, &value), 0);
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

TEST(SnpxWrite, ShortWriteFailingThreeTimesSendsTheSameFrame) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 9, 1, kNoBit};
  const char* request = "1B 58 50 4C 43 31 00 00 00 00 02 08 09 00 01 00 34 12 17 00 00 00 00 7D";
  board.line.Expect(request);
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(2));
  board.line.Expect(kBroadcastAttach).Expect(request);
  const uint16_t value = 0x1234;
  EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &access, &value), 1);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{kNoResponse, ErrorCode("0x0002"), kNoResponse}));
}

TEST(SnpxWrite, LongWriteOfThreeWords) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 0, 3, kNoBit};
  board.line.Expect("1B 58 50 4C 43 31 00 00 00 00 02 08 00 00 03 00 00 00 17 54 0E 00 00 9A")
      .Reply(peer::SnpxResponse(0));
  board.line.Expect("1B 54 11 22 33 44 55 66 17 00 00 00 00 D5").Reply(peer::SnpxResponse(0));
  const std::array<uint16_t, 4> values = {0x2211, 0x4433, 0x6655, 0x8877};
  EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &access, values.data()), 0);
  EXPECT_TRUE(board.log.Lines().empty());
}

TEST(SnpxWrite, LongWriteOfTwo32BitValuesCountsWords) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeDoubleWord, 2, 4, kNoBit};
  board.line.Expect("1B 58 50 4C 43 31 00 00 00 00 02 08 02 00 04 00 00 00 17 54 10 00 00 74")
      .Reply(peer::SnpxResponse(0));
  board.line.Expect("1B 54 01 02 03 04 05 06 07 08 17 00 00 00 00 FF").Reply(peer::SnpxResponse(0));
  const std::array<uint16_t, 4> values = {0x0201, 0x0403, 0x0605, 0x0807};
  EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &access, values.data()), 0);
}

TEST(SnpxWrite, RejectedRequestSendsNoDataFrameAndRetries) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 0, 3, kNoBit};
  const char* request = "1B 58 50 4C 43 31 00 00 00 00 02 08 00 00 03 00 00 00 17 54 0E 00 00 9A";
  const char* data = "1B 54 11 22 33 44 55 66 17 00 00 00 00 D5";
  board.line.Expect(request).Reply(peer::SnpxResponse(0x0105));
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(0));
  board.line.Expect(data).Reply(peer::SnpxResponse(7));
  board.line.Expect(kBroadcastAttach).Expect(request).Reply(peer::SnpxResponse(0));
  board.line.Expect(data);
  const std::array<uint16_t, 3> values = {0x2211, 0x4433, 0x6655};
  EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &access, values.data()), 1);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{{8, "kelg1: ErrorStatusCode 0x0105 on write with follow on request"},
                                                     ErrorCode("0x0007"),
                                                     kNoResponseLong}));
  EXPECT_EQ(board.clock.Sleeps(), (std::vector<uint32_t>{20, 100, 100, 20, 100, 100}));
}

TEST(SnpxWrite, MoreThan512BytesIsRefusedBeforeSending) {
  SnpxBoard board;
  const AccessDescriptor access{8, kModeWord, 0, 257, kNoBit};
  const std::array<uint16_t, 257> values{};
  EXPECT_EQ(SnpxWrite(&board.context, 1, board.Id(), &access, values.data()), 1);
  EXPECT_TRUE(board.line.Events().empty());
}

TEST(SnpxReadWord, AsksForOneWordAndStoresItOnlyOnSuccess) {
  SnpxBoard board;
  TagRecord tag{};
  tag.station = 1;
  KelRequest request{&board.context, kRequestWriteSingle, 1, 0, &tag};
  // The descriptor's length does not matter: one word is asked for.
  const AccessDescriptor access{8, kModeWord, 9, 5, 3};
  const char* frame = "1B 58 50 4C 43 31 00 00 00 00 01 08 09 00 01 00 00 00 17 00 00 00 00 83";
  board.line.Expect(frame).Reply(peer::SnpxResponse(0, Hex("05 80")));
  uint16_t word = 0;
  EXPECT_EQ(SnpxReadWord(&request, &access, &word), 0);
  EXPECT_EQ(word, 0x8005);

  board.line.Expect(frame).Reply(peer::SnpxResponse(4));
  board.line.Expect(kBroadcastAttach).Expect(frame);
  board.line.Expect(kBroadcastAttach).Expect(frame).Reply(peer::SnpxResponse(0));  // no data word
  word = 0x1111;
  EXPECT_EQ(SnpxReadWord(&request, &access, &word), 1);
  EXPECT_EQ(word, 0x1111);
  EXPECT_EQ(board.log.Lines(), (std::vector<LogLine>{ErrorCode("0x0004"), kNoResponse, kNoResponse}));
}

}  // namespace
