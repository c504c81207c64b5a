#include <gtest/gtest.h>

#include "exchange/frame.h"
#include "tests/support/fake_line.h"

namespace {

TEST(ComputeBcc, KnownValues) {
  struct Case {
    const char* bytes;
    uint8_t bcc;
  } const cases[] = {
      {"", 0x00},
      {"'abc'", 0x44},
      {"61", 0xC2},
      {"61 62", 0x41},
      // The Short Status request without its last byte.
      {"1B 4D 00*7 C0 10 3A 00 00 10 3E 00 00 01 01 00 00*5 E8 03 01 00*5 17 00*4", 0xA6},
  };
  for (const Case& c : cases) {
    const Bytes bytes = Hex(c.bytes);
    EXPECT_EQ(ComputeBcc(bytes.data(), static_cast<uint16_t>(bytes.size())), c.bcc) << c.bytes;
  }
}

TEST(SendAckNak, CodeChoosesTheFrameAndTheTickIsStamped) {
  struct Case {
    int code;
    const char* frame;
  } const cases[] = {{0, "06 00"}, {1, "06 00"}, {2, "15 00"}, {3, "15 01"}, {4, "15 02"}, {7, "06 00"}};
  for (const Case& c : cases) {
    FakeBoard board;
    board.clock.Advance(1234);
    board.line.Stale(Hex("AA"));
    board.line.Expect(c.frame);
    EXPECT_EQ(SendAckNak(&board.context, c.code), 0);
    EXPECT_EQ(board.context.lastAckTick, board.clock.Tick()) << c.code;
    // The stale input is discarded before the frame goes out.
    ASSERT_EQ(board.line.Events().size(), 2u);
    EXPECT_EQ(board.line.Events()[0].kind, FakeLine::Kind::kPurge);
  }
}

TEST(SendAckNak, FailedWriteStillStampsTheTick) {
  FakeBoard board;
  board.line.SetWriteFails(true);
  board.line.Expect("06 00");
  SendAckNak(&board.context, kAck);
  EXPECT_EQ(board.context.lastAckTick, board.clock.Tick());
}

TEST(SendExact, StaleInputIsGoneBeforeTheAnswerArrives) {
  FakeBoard board;
  board.line.Stale(Hex("AA BB CC"));
  board.line.Expect("01 02 03").Reply("04 05");
  const Bytes frame = Hex("01 02 03");
  EXPECT_EQ(SendExact(&board.context, frame.data(), 3), 1);
  uint8_t answer[2] = {};
  EXPECT_EQ(ReceiveExact(&board.context, answer, 2), 1);
  EXPECT_EQ(Bytes(answer, answer + 2), Hex("04 05"));
  EXPECT_EQ(board.clock.Elapsed(), 0u);
}

TEST(SendExact, FailedWriteGivesZero) {
  FakeBoard board;
  board.line.SetWriteFails(true);
  board.line.Expect("01");
  const uint8_t byte = 1;
  EXPECT_EQ(SendExact(&board.context, &byte, 1), 0);
}

TEST(ReceiveExact, ShortFrameFailsAfterTwoTimeoutsNothingAfterOne) {
  FakeBoard board;
  uint8_t buffer[4] = {};
  board.line.Reply("06");
  EXPECT_EQ(ReceiveExact(&board.context, buffer, 2), 0);
  EXPECT_EQ(board.clock.Elapsed(), 2000u);
  EXPECT_EQ(ReceiveExact(&board.context, buffer, 2), 0);
  EXPECT_EQ(board.clock.Elapsed(), 3000u);
}

TEST(SendLineBreak, HoldsTheLineTwentyMs) {
  FakeBoard board;
  EXPECT_EQ(SendLineBreak(&board.context), 0);
  ASSERT_EQ(board.line.Count(FakeLine::Kind::kBreak), 1);
  EXPECT_EQ(board.line.Events()[0].value, 20);
  EXPECT_EQ(board.clock.Elapsed(), 20u);
}

}  // namespace
