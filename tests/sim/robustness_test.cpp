// Noise, fragments and malformed frames: the simulator resynchronises and
// never crashes.
#include <gtest/gtest.h>

#include <random>

#include "tests/sim/harness.h"

namespace simtest {
namespace {

using plcsim::Protocol;

TEST(Resync, NoiseBeforeAFrameIsSkipped) {
  const Bytes noises[] = {
      Hex("00"), Hex("FF FF FF"), Hex("1B"), Hex("1B 1B 1B"), Hex("1B 00 41"), Hex("06 00"), Hex("15 00 17"),
      Hex("1B 41 41 42"),          // the start of an attach, cut off
      Hex("1B 4D 00 00 00 00"),    // the start of a mailbox, cut off
      Hex("1B 58"),                // the start of an SNPX request, cut off
      Hex("1B 54 01 02"),          // a text buffer nobody announced
  };
  for (const Bytes& noise : noises) {
    SCOPED_TRACE(ToHex(noise));
    Line line;
    const Bytes out = line.Exchange(Concat({noise, Attach("")}));
    EXPECT_EQ(out.size(), 24u);
    EXPECT_TRUE(AttachBccOk(out));
  }
}

TEST(Resync, FramesArrivingByteByByteAreAssembled) {
  Line line;
  for (uint8_t b : Attach("")) {
    line.Send({b});
    line.Run(Millis(1));
  }
  line.Run();
  EXPECT_TRUE(line.Plc(0).attached);
  Bytes out;
  for (uint8_t b : ReadRequest(0x08, 0, 1)) {
    line.Send({b});
    const Bytes more = line.Run(Millis(2));
    out.insert(out.end(), more.begin(), more.end());
  }
  const Bytes rest = line.Run();
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out.size(), 42u);
}

TEST(Resync, AnIncompleteFrameIsDroppedAfterASilence) {
  Line line;
  const Bytes attach = Attach("");
  line.Send(Bytes(attach.begin(), attach.begin() + 10));
  EXPECT_EQ(line.Run(Millis(100)).size(), 0u);
  // Had the first part been kept, these bytes would complete a wrong frame.
  EXPECT_EQ(line.Exchange(attach).size(), 24u);
}

TEST(Resync, SeveralFramesInOneChunkAreAllHandled) {
  Line line({{1, "A", Protocol::Snpx}, {2, "B", Protocol::Snpx}});
  line.Send(Concat({Hex("77 88"), SnpxBroadcastAttach(), SnpxRequest("A", 1, 0x08, 0, 1)}));
  std::vector<Sent> frames = line.RunFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(ParseSnpx(frames[0].bytes).ok);
}

TEST(Resync, AFalseStartInsideAFrameIsSkipped) {
  Line line;
  line.Exchange(Attach(""));
  // 1B 4D followed by a whole mailbox: taking 40 bytes from the first 1B
  // gives a wrong BCC, and a frame starts inside it.
  Bytes out = line.Exchange(Concat({Hex("1B 4D 00"), ReadRequest(0x08, 0, 1)}));
  EXPECT_EQ(ToHex(Take(out, 2)), "06 00");
  EXPECT_EQ(out.size(), 40u);
  EXPECT_EQ(out[9], 0xD4);
}

TEST(Resync, AnAckWhenNoneIsAwaitedIsNoise) {
  Line line;
  line.Exchange(Attach(""));
  EXPECT_EQ(line.Exchange(Concat({kAck, ReadRequest(0x08, 0, 1)})).size(), 42u);
}

TEST(Robustness, RandomBytesAndFragmentsNeverBreakTheEngine) {
  std::mt19937 random(12345);
  const std::vector<plcsim::StationConfig> network{
      {1, "A", Protocol::Snp}, {2, "B", Protocol::Snpx}, {3, "", Protocol::Snp}};
  const Bytes pieces[] = {
      Attach("A"),
      Attach(""),
      SnpxBroadcastAttach(),
      ReadRequest(0x08, 0, 300),
      ReadRequest(0x4C, 5, 9),
      ReadRequest(0x63, 1, 1),
      WriteRequest(0x16, 0, 8, Bytes(8, 0xAA)),
      WriteWithText(0x08, 65530, 100, 200),
      WriteWithText(0x08, 0, 5, 10),
      TextBuffer(Bytes(10, 1)),
      SnpxRequest("B", 1, 0x08, 0, 256),
      SnpxRequest("B", 2, 0x08, 0, 4, {}, 16),
      SnpxRequest("B", 2, 0x56, 65535, 65535, Hex("FF FF")),
      SnpxData(Bytes(8, 2)),
      kAck,
      Hex("15 02"),
  };
  Line line(network);
  line.Plc(1).faults.EndlessText(plcsim::kAlways);
  line.Plc(2).faults.Noise(3, plcsim::kAlways);
  for (int round = 0; round < 3000; ++round) {
    Bytes chunk;
    switch (random() % 4) {
      case 0: {  // random bytes
        chunk.resize(random() % 50);
        for (uint8_t& b : chunk) b = static_cast<uint8_t>(random());
        break;
      }
      case 1: {  // a piece of a frame
        const Bytes& piece = pieces[random() % std::size(pieces)];
        const std::size_t from = random() % piece.size();
        chunk.assign(piece.begin() + static_cast<std::ptrdiff_t>(from), piece.end());
        break;
      }
      case 2: {  // a frame with one byte changed
        chunk = pieces[random() % std::size(pieces)];
        chunk[random() % chunk.size()] ^= static_cast<uint8_t>(1 + random() % 255);
        break;
      }
      default:
        chunk = pieces[random() % std::size(pieces)];
        break;
    }
    line.Send(chunk);
    line.Run(Millis(random() % 60));
  }
  line.Run(Millis(5000));
  EXPECT_TRUE(line.engine.Pending().empty());
  // Still serving afterwards.
  line.Run(Millis(100));
  EXPECT_EQ(line.Exchange(Attach("A")).size(), 24u);
}

}  // namespace
}  // namespace simtest
