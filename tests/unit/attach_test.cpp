#include <gtest/gtest.h>

#include "exchange/frame.h"
#include "snp/attach.h"
#include "snpx/snpx_attach.h"
#include "tests/support/fake_line.h"

namespace {

using Kind = FakeLine::Kind;

constexpr const char* kBroadcastAttach = "1B 58 FF*8 00*8 17 00*4 79";

LogLine AttachTryFailed(int station, int attempt) {
  return {8, "KELG1: Failed to receive Attach response. PLC=" + std::to_string(station) +
                 ", retry=" + std::to_string(attempt)};
}

TEST(SnpAttach, RequestBytesCarrySevenBytesOfTheId) {
  struct Case {
    const char* snpId;
    const char* request;
  } const cases[] = {
      {"ABC", "1B 41 41 42 43 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 31"},
      {"", "1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41"},
      // The eighth character does not travel.
      {"ABCDEFGH", "1B 41 41 42 43 44 45 46 47 00 30 41 30 30 30 20 20 20 17 00 00 00 32 45"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.snpId);
    FakeBoard board;
    board.SnpStation(1, c.snpId);
    board.line.Expect(c.request).Reply(peer::SnpAttachResponse());
    EXPECT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
    EXPECT_EQ(board.context.attachedStation, 1);
    EXPECT_TRUE(board.log.Lines().empty());
  }
}

TEST(SnpAttach, BreakPauseRequestThenResponseUnderTheAttachWait) {
  FakeBoard board;
  board.SnpStation(1, "ABC");
  board.context.attachWait = 30;
  board.line.Expect(peer::SnpAttachRequest("ABC")).Reply(peer::SnpAttachResponse());
  ASSERT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
  const auto& events = board.line.Events();
  std::vector<std::pair<Kind, int32_t>> seen;
  for (const auto& e : events) seen.emplace_back(e.kind, e.kind == Kind::kRead ? 0 : e.value);
  const std::vector<std::pair<Kind, int32_t>> expected = {
      {Kind::kBreak, 20}, {Kind::kPurge, 0}, {Kind::kWrite, 0}, {Kind::kTimeout, 300}, {Kind::kRead, 0},
      {Kind::kTimeout, 1000}};
  EXPECT_EQ(seen, expected) << board.line.Transcript();
  EXPECT_EQ(board.line.Events()[2].at, 120u);  // 20 ms break, 100 ms pause
  // No ACK follows an attach response, so the attach sets no activity tick.
  EXPECT_EQ(board.context.lastAckTick, 0u);
}

TEST(SnpAttach, EightFailedTriesLogEachAndKeepTheAttachedStation) {
  FakeBoard board;
  board.SnpStation(3, "PLC3");
  board.context.attachedStation = 5;
  for (int i = 0; i < 8; ++i) board.line.Expect(peer::SnpAttachRequest("PLC3"));
  EXPECT_EQ(AttachStation(&board.context, 3, board.context.snpIds[3]), 0);
  EXPECT_EQ(board.context.attachedStation, 5);
  std::vector<LogLine> expected;
  for (int attempt = 1; attempt <= 8; ++attempt) expected.push_back(AttachTryFailed(3, attempt));
  EXPECT_EQ(board.log.Lines(), expected);
  // Each try: 20 ms break, 100 ms pause, 200 ms attach wait.
  EXPECT_EQ(board.clock.Elapsed(), 8u * 320u);
  EXPECT_EQ(board.line.Count(Kind::kBreak), 8);
  EXPECT_EQ(board.line.ReadTimeoutMs(), 1000u);
}

TEST(SnpAttach, ResponseChecksOnlyItsBccDigits) {
  // 2B then 21 zeros has the BCC 0xCA: both digits are letters.
  const Bytes body = Hex("2B 00*21");
  struct Case {
    const char* name;
    Bytes response;
    bool accepted;
  } const cases[] = {
      {"upper-case digits", body + Hex("'CA'"), true},
      {"lower-case digits", body + Hex("'ca'"), false},
      {"digits swapped", body + Hex("'AC'"), false},
      {"arbitrary body", peer::SnpAttachResponse(Hex("FF 00 12 34 56 78 9A BC DE F0 11 22 33 44 55 66 77 88 99 AA BB CC")),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBoard board;
    board.SnpStation(1, "A");
    board.line.Expect(peer::SnpAttachRequest("A")).Reply(c.response);
    if (!c.accepted) board.line.Expect(peer::SnpAttachRequest("A")).Reply(peer::SnpAttachResponse());
    EXPECT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
    const std::vector<LogLine> rejected = {{8, "KELG1: BCC Error in Attach Response Message"}, AttachTryFailed(1, 1)};
    EXPECT_EQ(board.log.Lines(), c.accepted ? std::vector<LogLine>{} : rejected);
  }
}

TEST(SnpAttach, ShortResponseFailsTheTryWithoutBccMessage) {
  FakeBoard board;
  board.SnpStation(1, "A");
  board.line.Expect(peer::SnpAttachRequest("A")).Reply(Hex("00*23"));
  board.line.Expect(peer::SnpAttachRequest("A")).Reply(peer::SnpAttachResponse());
  EXPECT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
  EXPECT_EQ(board.log.Lines(), std::vector<LogLine>{AttachTryFailed(1, 1)});
}

// The reuse window: attachment stays while the driver's last ACK/NAK lies
// less than the window back, with the tick difference taken unsigned.
TEST(SnpAttach, ReuseWindowOfFiveSecondsAcrossATickWrap) {
  struct Case {
    uint32_t startTick;
    uint32_t sinceAck;
    bool attaches;
  } const cases[] = {
      {VirtualClock::kDefaultStartTick, 4999, false},
      {VirtualClock::kDefaultStartTick, 5000, true},
      {0xFFFFF000u, 4999, false},  // the counter wraps between the ACK and the check
      {0xFFFFF000u, 5000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.startTick << " + " << c.sinceAck);
    FakeBoard board(c.startTick);
    board.SnpStation(1, "A");
    board.context.attachedStation = 1;
    board.context.snpxAttached = 1;
    board.context.lastAckTick = board.clock.Tick();
    board.clock.Advance(c.sinceAck);
    if (c.attaches) board.line.Expect(peer::SnpAttachRequest("A")).Reply(peer::SnpAttachResponse());
    EXPECT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
    EXPECT_EQ(board.line.Count(Kind::kWrite), c.attaches ? 1 : 0);
    EXPECT_EQ(board.context.snpxAttached, 0u);
  }
}

TEST(SnpAttach, NoReuseWithoutActivityOrForAnotherStation) {
  struct Case {
    const char* name;
    int32_t attached;
    bool activity;
  } const cases[] = {{"fresh load", 1, false}, {"other station", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBoard board;
    board.SnpStation(1, "A");
    board.context.attachedStation = c.attached;
    board.context.lastAckTick = c.activity ? board.clock.Tick() : 0;
    board.clock.Advance(10);
    board.line.Expect(peer::SnpAttachRequest("A")).Reply(peer::SnpAttachResponse());
    EXPECT_EQ(AttachStation(&board.context, 1, board.context.snpIds[1]), 1);
    EXPECT_EQ(board.context.attachedStation, 1);
  }
}

TEST(SnpxAttach, BroadcastFrameAndItsPausesAnswersDiscarded) {
  FakeBoard board;
  board.SnpxStation(4, "X4");
  board.line.Stale(Hex("EE"));
  // Whatever a station sends back is purged after the pause.
  board.line.Expect(kBroadcastAttach).Reply("1B 58 01 02");
  EXPECT_EQ(SnpxBroadcastAttach(&board.context, 4), 1);
  EXPECT_EQ(board.context.attachedStation, 4);
  EXPECT_EQ(board.context.snpxAttached, 1u);
  EXPECT_EQ(board.clock.Elapsed(), 220u);
  EXPECT_EQ(board.clock.Sleeps(), (std::vector<uint32_t>{100, 100}));
  std::vector<Kind> kinds;
  for (const auto& e : board.line.Events()) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kPurge, Kind::kBreak, Kind::kPurge, Kind::kWrite, Kind::kPurge}));
  uint8_t byte = 0;
  EXPECT_EQ(ReceiveExact(&board.context, &byte, 1), 0);
  EXPECT_TRUE(board.log.Lines().empty());
}

TEST(SnpxAttach, ReuseWindowOf4900MsAcrossATickWrap) {
  struct Case {
    uint32_t startTick;
    uint32_t sinceAck;
    bool sends;
  } const cases[] = {
      {VirtualClock::kDefaultStartTick, 4899, false},
      {VirtualClock::kDefaultStartTick, 4900, true},
      {0xFFFFFF00u, 4899, false},
      {0xFFFFFF00u, 4900, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.startTick << " + " << c.sinceAck);
    FakeBoard board(c.startTick);
    board.SnpxStation(1, "X1");
    board.context.attachedStation = 1;
    board.context.snpxAttached = 1;
    board.context.lastAckTick = board.clock.Tick();
    board.clock.Advance(c.sinceAck);
    if (c.sends) board.line.Expect(kBroadcastAttach);
    EXPECT_EQ(SnpxBroadcastAttach(&board.context, 1), 1);
    EXPECT_EQ(board.line.Count(Kind::kWrite), c.sends ? 1 : 0);
  }
}

TEST(SnpxAttach, WithoutAnyAckEveryCallBroadcasts) {
  FakeBoard board;
  board.SnpxStation(1, "X1");
  board.line.Expect(kBroadcastAttach).Expect(kBroadcastAttach);
  EXPECT_EQ(SnpxBroadcastAttach(&board.context, 1), 1);
  board.clock.Advance(5);
  EXPECT_EQ(SnpxBroadcastAttach(&board.context, 1), 1);
}

TEST(SnpxAttach, SecondStationInsideTheWindowSendsNothingAndKeepsTheFirst) {
  FakeBoard board;
  board.SnpxStation(1, "A");
  board.SnpxStation(2, "B");
  board.line.Expect(kBroadcastAttach);
  board.context.lastAckTick = board.clock.Tick();
  ASSERT_EQ(SnpxBroadcastAttach(&board.context, 1), 1);
  board.clock.Advance(1000);
  EXPECT_EQ(SnpxBroadcastAttach(&board.context, 2), 1);
  EXPECT_EQ(board.line.Count(Kind::kWrite), 1);
  EXPECT_EQ(board.context.attachedStation, 1);
}

}  // namespace
