// Every fault hook of a station, and that a silent or faulty station never
// holds up the others on the same line.
#include <gtest/gtest.h>

#include "tests/sim/harness.h"

namespace simtest {
namespace {

using plcsim::Area;
using plcsim::Protocol;
using plcsim::StationConfig;

const std::vector<StationConfig> kNetwork{
    {1, "PLCA", Protocol::Snp}, {2, "PLCB", Protocol::Snp}, {3, "PLCC", Protocol::Snpx}, {4, "PLCD", Protocol::Snpx}};

plcsim::Faults& FaultsOf(Line& line, int station) { return line.Plc(station).faults; }

// SNP station 1 attached; SNPX stations attached by broadcast before each SNPX test step.
Line NetworkWithAttached(int station) {
  Line line(kNetwork);
  if (station <= 2) {
    EXPECT_EQ(line.Exchange(Attach(station == 1 ? "PLCA" : "PLCB")).size(), 24u);
  } else {
    line.Exchange(SnpxBroadcastAttach());
  }
  return line;
}

TEST(Faults, ASilentStationAnswersNothingAndIsNeverAttached) {
  Line line(kNetwork);
  FaultsOf(line, 1).silent = true;
  FaultsOf(line, 3).silent = true;
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 0u);
  EXPECT_FALSE(line.Plc(1).attached);
  line.Exchange(SnpxBroadcastAttach());
  EXPECT_FALSE(line.Plc(3).attached);
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1)).size(), 0u);
  EXPECT_TRUE(ParseSnpx(line.Exchange(SnpxRequest("PLCD", 1, 0x08, 0, 1))).ok) << "the other station answers";
  FaultsOf(line, 1).silent = false;
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 24u);
}

TEST(Faults, ASilenceWithACountEndsAfterThatManyRequestsAddressedToTheStation) {
  Line line(kNetwork);
  FaultsOf(line, 1).silent.For(2);
  FaultsOf(line, 3).silent.For(1);
  // Requests for other stations do not count.
  EXPECT_EQ(line.Exchange(Attach("PLCB")).size(), 24u);
  EXPECT_TRUE(FaultsOf(line, 1).silent);
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 0u);
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 0u);
  EXPECT_FALSE(FaultsOf(line, 1).silent);
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 24u);

  line.Exchange(SnpxBroadcastAttach());
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1)).size(), 0u);
  line.Exchange(SnpxBroadcastAttach());
  EXPECT_TRUE(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1))).ok);
}

TEST(Faults, WrongBccOnTheNextReplies) {
  Line line(kNetwork);
  FaultsOf(line, 1).CorruptBcc(2);
  Bytes response = line.Exchange(Attach("PLCA"));
  ASSERT_EQ(response.size(), 24u);
  EXPECT_FALSE(AttachBccOk(response));
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00") << "the handshake has no BCC";
  EXPECT_FALSE(MailboxBccOk(out));
  line.Exchange(Hex("15 00"));
  out = line.Exchange(ReadRequest(0x08, 0, 1));
  Take(out, 2);
  EXPECT_TRUE(MailboxBccOk(out)) << "two replies only";

  line.Exchange(SnpxBroadcastAttach());
  FaultsOf(line, 3).CorruptBcc(1);
  const SnpxResponse bad = ParseSnpx(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1)));
  EXPECT_FALSE(bad.ok);
  EXPECT_TRUE(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1))).ok);
}

TEST(Faults, WrongBccOfATextBuffer) {
  Line line = NetworkWithAttached(1);
  line.Exchange(ReadRequest(0x08, 0, 200));
  FaultsOf(line, 1).CorruptBcc(1);
  const Bytes text = line.Exchange(kAck);
  ASSERT_EQ(text.size(), 264u);
  EXPECT_EQ(text[1], 'T');
  EXPECT_FALSE(TextBccOk(text));
}

TEST(Faults, NakTheNextRequests) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).NakRequests(1);
  EXPECT_EQ(ToHex(line.Exchange(ReadRequest(0x08, 0, 1))), "15 00");
  EXPECT_EQ(line.Exchange(ReadRequest(0x08, 0, 1)).size(), 42u);
  line.Exchange(kAck);
  FaultsOf(line, 1).NakRequests(1, 0x02);
  EXPECT_EQ(ToHex(line.Exchange(ShortStatus())), "15 02");
  // A text buffer can be refused too.
  EXPECT_EQ(ToHex(line.Exchange(WriteWithText(0x08, 0, 5, 10))), "06 00");
  FaultsOf(line, 1).NakRequests(1);
  EXPECT_EQ(ToHex(line.Exchange(TextBuffer(Bytes(10, 7)))), "15 00");
  EXPECT_EQ(line.Plc(1).memory.Word(Area::R, 0), 1);
  EXPECT_EQ(line.Plc(1).stats.naksSent, 3);
}

TEST(Faults, ErrorNackWithGivenCodesForGivenKindsOfRequest) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).ErrorNack(0x05, 0x0A, 2, plcsim::kShortStatusRequest | plcsim::kWriteRequest);
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  Take(out, 2);
  EXPECT_EQ(out[9], 0xD4) << "reads are not in the fault's kinds";
  line.Exchange(kAck);
  out = line.Exchange(ShortStatus());
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  EXPECT_EQ(out[9], 0xD1);
  EXPECT_EQ(out[20], 0x05);
  EXPECT_EQ(out[21], 0x0A);
  line.Exchange(kAck);
  out = line.Exchange(WriteRequest(0x08, 0, 1, Hex("34 12")));
  Take(out, 2);
  EXPECT_EQ(out[9], 0xD1);
  line.Exchange(kAck);
  EXPECT_EQ(line.Plc(1).memory.Word(Area::R, 0), 1) << "a refused write writes nothing";
  out = line.Exchange(WriteRequest(0x08, 0, 1, Hex("34 12")));
  Take(out, 2);
  EXPECT_EQ(out[9], 0xD4) << "the count is used up";
}

TEST(Faults, ErrorNackOfAWriteWithTextComesAfterTheTextBuffer) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).ErrorNack(0x05, 0x0A, 1, plcsim::kWriteRequest);
  EXPECT_EQ(ToHex(line.Exchange(WriteWithText(0x08, 0, 5, 10))), "06 00");
  Bytes out = line.Exchange(TextBuffer(Bytes(10, 7)));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  EXPECT_EQ(out[9], 0xD1);
  EXPECT_EQ(out[21], 0x0A);
}

TEST(Faults, ErrorStatusOfSnpxRequests) {
  Line line = NetworkWithAttached(3);
  FaultsOf(line, 3).ErrorStatus(0x0001, plcsim::kAlways, plcsim::kReadRequest);
  for (int k = 0; k < 3; ++k) {
    const Bytes frame = line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1));
    EXPECT_EQ(frame.size(), 15u);
    EXPECT_EQ(ParseSnpx(frame).status, 0x0001);
  }
  EXPECT_EQ(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 2, 0x08, 0, 1, Hex("34 12")))).status, 0);
  FaultsOf(line, 3).ErrorNack(0x05, 0x0A, 1);
  EXPECT_EQ(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1))).status, 0x0A05);
}

TEST(Faults, ErrorStatusOnTheRequestOrTheDataFrameOfALongWrite) {
  Line line = NetworkWithAttached(3);
  FaultsOf(line, 3).ErrorStatus(0x0102, 1, plcsim::kWriteRequest);
  EXPECT_EQ(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 2, 0x08, 0, 3, {}, 14))).status, 0x0102);
  EXPECT_EQ(line.Exchange(SnpxData(Bytes(6, 9))).size(), 0u) << "no data frame is awaited";

  FaultsOf(line, 3).ErrorStatus(0x0103, 1, plcsim::kSnpxWriteData);
  EXPECT_EQ(ParseSnpx(line.Exchange(SnpxRequest("PLCC", 2, 0x08, 0, 3, {}, 14))).status, 0);
  EXPECT_EQ(ParseSnpx(line.Exchange(SnpxData(Bytes(6, 9)))).status, 0x0103);
  EXPECT_EQ(line.Plc(3).memory.Word(Area::R, 0), 1);
}

TEST(Faults, TruncatedReplies) {
  Line line(kNetwork);
  FaultsOf(line, 1).Truncate(1, 10);
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 10u);
  FaultsOf(line, 1).Truncate(1);
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  EXPECT_EQ(out.size(), 20u) << "half the reply";
  line.Exchange(SnpxBroadcastAttach());
  FaultsOf(line, 3).Truncate(1, 9);
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 4)).size(), 9u);
}

TEST(Faults, TextBufferWithoutT) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).TextWithoutT(1);
  line.Exchange(ReadRequest(0x08, 0, 200));
  const Bytes text = line.Exchange(kAck);
  ASSERT_EQ(text.size(), 264u);
  EXPECT_EQ(text[0], 0x1B);
  EXPECT_NE(text[1], 'T');
  EXPECT_TRUE(TextBccOk(text)) << "only the 'T' is missing";
}

TEST(Faults, EndlessTextBuffers) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).EndlessText(1);
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 10));  // 20 bytes
  Take(out, 2);
  ASSERT_EQ(out[9], 0x94);
  for (int k = 0; k < 60; ++k) {
    const Bytes text = line.Exchange(kAck);
    ASSERT_EQ(text.size(), 28u) << k;
    EXPECT_TRUE(TextBccOk(text));
    EXPECT_EQ(text[28 - 4], 28) << "announces another";
  }
  line.Run(Millis(2100));  // the driver gives up; so does the station
  EXPECT_EQ(line.Plc(1).awaiting, plcsim::Awaiting::Nothing);
  out = line.Exchange(ReadRequest(0x08, 0, 10));
  Take(out, 2);
  ASSERT_EQ(out[9], 0x94);
  line.Exchange(kAck);
  EXPECT_EQ(line.Exchange(kAck).size(), 0u) << "the next read ends";
}

TEST(Faults, DelayedRepliesDoNotDelayOtherStations) {
  Line line(kNetwork);
  line.Exchange(SnpxBroadcastAttach());
  FaultsOf(line, 3).Delay(Millis(300));
  line.Send(SnpxRequest("PLCC", 1, 0x08, 0, 1));
  const plcsim::TimePoint asked = line.now;
  std::vector<Sent> frames = line.RunFrames(Millis(400));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].at - asked, Millis(305));
  EXPECT_EQ(frames[0].station, 3);

  line.Send(SnpxRequest("PLCD", 1, 0x08, 0, 1));
  const plcsim::TimePoint other = line.now;
  frames = line.RunFrames(Millis(400));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].at - other, Millis(5));
  EXPECT_EQ(frames[0].station, 4);
}

TEST(Faults, ADelayedReplyIsDroppedWhenTheDriverMovesOn) {
  Line line(kNetwork);
  line.Exchange(SnpxBroadcastAttach());
  FaultsOf(line, 3).Delay(Millis(1000));
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 1), Millis(500)).size(), 0u);
  // The driver timed out and now asks station 4: only station 4 answers.
  const std::vector<Sent> frames = [&] {
    line.Send(SnpxRequest("PLCD", 1, 0x08, 0, 1));
    return line.RunFrames(Millis(1500));
  }();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].station, 4);
}

TEST(Faults, NoiseBeforeTheReply) {
  Line line(kNetwork);
  FaultsOf(line, 1).Noise(5, 1);
  const Bytes out = line.Exchange(Attach("PLCA"));
  ASSERT_EQ(out.size(), 29u);
  EXPECT_TRUE(AttachBccOk(Bytes(out.begin() + 5, out.end())));
  EXPECT_EQ(line.Exchange(Attach("PLCA")).size(), 24u);
}

// Flipped bits, a lost byte and an added byte leave the check character as
// it was; each corrupted reply is counted, and one whose check still holds
// is counted apart.
TEST(Faults, LineCorruptionOfReplies) {
  Line line(kNetwork);
  const Bytes clean = line.Exchange(Attach("PLCA"));
  ASSERT_EQ(clean.size(), 24u);
  struct Case {
    const char* name;
    void (*apply)(plcsim::Faults&);
    size_t size;
  };
  const Case cases[] = {
      {"one bit flipped", [](plcsim::Faults& f) { f.FlipBits(1, 1); }, 24},
      {"a byte lost", [](plcsim::Faults& f) { f.DropByte(1); }, 23},
      {"a byte added", [](plcsim::Faults& f) { f.InsertByte(1); }, 25},
  };
  int corrupted = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.apply(FaultsOf(line, 1));
    const Bytes out = line.Exchange(Attach("PLCA"));
    ASSERT_EQ(out.size(), c.size);
    if (out.size() == clean.size()) {
      int bits = 0;
      for (size_t i = 0; i < out.size(); ++i) bits += __builtin_popcount(out[i] ^ clean[i]);
      EXPECT_EQ(bits, 1);
      EXPECT_FALSE(AttachBccOk(out)) << "one flipped bit is always seen";
    }
    if (out != clean) ++corrupted;
    EXPECT_EQ(line.Exchange(Attach("PLCA")), clean) << "the fault was used up";
  }
  EXPECT_EQ(line.Plc(1).stats.corruptedReplies, corrupted);
  EXPECT_EQ(line.Plc(1).stats.undetectedCorruptions, 0);

  // Two bits eight places apart in the rotation cancel out in the BCC: over
  // many two-bit flips some pass the check, and each is counted.
  line.Exchange(SnpxBroadcastAttach());
  int passed = 0;
  const int before = line.Plc(3).stats.corruptedReplies;
  for (int k = 0; k < 400; ++k) {
    FaultsOf(line, 3).FlipBits(2, 1);
    const Bytes out = line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 4));
    const Bytes clean = line.Exchange(SnpxRequest("PLCC", 1, 0x08, 0, 4));
    // As the driver reads it: the header, the data its length announces, the BCC.
    if (out.size() < 15 || out[0] != 0x1B || (out[1] != 'X' && out[1] != 'x')) continue;
    const size_t n = (out[5] | out[6]) == 0 ? static_cast<size_t>(out[7] | out[8] << 8) : 0;
    if (out.size() < 15 + n) continue;
    const Bytes read(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(15 + n));
    if (ParseSnpx(read).ok && read != Bytes(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(
                                                                 std::min(clean.size(), read.size())))) {
      ++passed;
    }
  }
  EXPECT_GT(passed, 0);
  EXPECT_EQ(line.Plc(3).stats.undetectedCorruptions, passed);
  EXPECT_GE(line.Plc(3).stats.corruptedReplies - before, 390);
}

TEST(Faults, CountsRunOutButAlwaysLastsUntilCleared) {
  plcsim::Faults faults;
  faults.CorruptBcc(2);
  EXPECT_TRUE(faults.badBcc.Take());
  EXPECT_TRUE(faults.badBcc.Take());
  EXPECT_FALSE(faults.badBcc.Take());
  faults.CorruptBcc(plcsim::kAlways);
  for (int k = 0; k < 100; ++k) EXPECT_TRUE(faults.badBcc.Take());
  faults.Clear();
  EXPECT_FALSE(faults.badBcc.Active());
}

TEST(MultiDrop, ASilentStationDoesNotBlockTheOthers) {
  Line line(kNetwork);
  FaultsOf(line, 1).silent = true;
  EXPECT_EQ(line.Exchange(Attach("PLCA"), Millis(300)).size(), 0u);
  line.Send(Attach("PLCB"));
  const plcsim::TimePoint asked = line.now;
  const std::vector<Sent> frames = line.RunFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].station, 2);
  EXPECT_EQ(frames[0].at - asked, Millis(5));
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  EXPECT_EQ(out.size(), 42u);
}

TEST(MultiDrop, AStationStuckInEndlessTextBuffersDoesNotBlockTheOthers) {
  Line line = NetworkWithAttached(1);
  FaultsOf(line, 1).EndlessText();
  line.Exchange(ReadRequest(0x08, 0, 10));
  for (int k = 0; k < 50; ++k) line.Exchange(kAck);
  // The driver gives up and reads station 2.
  EXPECT_EQ(line.Exchange(Attach("PLCB")).size(), 24u);
  Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
  EXPECT_EQ(out.size(), 42u);
  line.Exchange(kAck);
  EXPECT_EQ(line.Run(Millis(3000)).size(), 0u) << "station 1 has stopped";
  EXPECT_FALSE(line.Plc(1).attached);
}

TEST(MultiDrop, SnpAndSnpxStationsShareTheLine) {
  Line line(kNetwork);
  line.Plc(1).memory.SetWord(Area::R, 0, 111);
  line.Plc(2).memory.SetWord(Area::R, 0, 222);
  line.Plc(3).memory.SetWord(Area::R, 0, 333);
  line.Plc(4).memory.SetWord(Area::R, 0, 444);
  for (int round = 0; round < 2; ++round) {
    for (const char* id : {"PLCA", "PLCB"}) {
      EXPECT_EQ(line.Exchange(Attach(id)).size(), 24u);
      Bytes out = line.Exchange(ReadRequest(0x08, 0, 1));
      Take(out, 2);
      ASSERT_EQ(out.size(), 40u);
      EXPECT_EQ(out[22] | out[23] << 8, id[3] == 'A' ? 111 : 222);
      line.Exchange(kAck);
    }
    line.Exchange(SnpxBroadcastAttach());
    for (const char* id : {"PLCC", "PLCD"}) {
      const SnpxResponse response = ParseSnpx(line.Exchange(SnpxRequest(id, 1, 0x08, 0, 1)));
      ASSERT_EQ(response.data.size(), 2u);
      EXPECT_EQ(response.data[0] | response.data[1] << 8, id[3] == 'C' ? 333 : 444);
    }
  }
}

}  // namespace
}  // namespace simtest
