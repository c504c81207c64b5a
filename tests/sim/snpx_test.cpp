// The simulator's answers to the driver's SNPX frames, on a virtual clock.
#include <gtest/gtest.h>

#include "tests/sim/harness.h"

namespace simtest {
namespace {

using plcsim::Area;
using plcsim::Protocol;
using plcsim::StationConfig;

const std::vector<StationConfig> kNetwork{
    {1, "PLCA", Protocol::Snp}, {2, "PLCB", Protocol::Snpx}, {3, "PLCC", Protocol::Snpx}};

Line AttachedLine() {
  Line line(kNetwork);
  EXPECT_EQ(line.Exchange(SnpxBroadcastAttach()).size(), 0u);
  return line;
}

SnpxResponse Ask(Line& line, const Bytes& request) { return ParseSnpx(line.Exchange(request)); }

TEST(SnpxAttach, TheBroadcastAttachIsNotAnsweredAndAttachesEverySnpxStation) {
  Line line(kNetwork);
  EXPECT_EQ(line.Exchange(Hex("1B 58 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 17 00 00 00 00 79")).size(), 0u);
  EXPECT_FALSE(line.Plc(1).attached);
  EXPECT_TRUE(line.Plc(2).attached);
  EXPECT_TRUE(line.Plc(3).attached);
}

TEST(SnpxAttach, RequestsBeforeAnAttachAreNotAnswered) {
  Line line(kNetwork);
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCB", 1, 0x08, 0, 1)).size(), 0u);
  line.Exchange(SnpxBroadcastAttach());
  EXPECT_TRUE(Ask(line, SnpxRequest("PLCB", 1, 0x08, 0, 1)).ok);
  line.Exchange(Attach("PLCA"));  // an SNP attach selects another station
  EXPECT_FALSE(line.Plc(2).attached);
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCB", 1, 0x08, 0, 1)).size(), 0u);
}

TEST(SnpxAttach, AnAddressedAttachIsAnsweredByThatStation) {
  Line line(kNetwork);
  const SnpxResponse response = Ask(line, SnpxRequest("PLCC", 0, 0, 0, 0));
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_TRUE(line.Plc(3).attached);
  EXPECT_FALSE(line.Plc(2).attached);
}

TEST(SnpxRead, TenRegistersFromIndex99) {
  Line line = AttachedLine();
  const Bytes request = SnpxRequest("PLCB", 1, 0x08, 99, 10);
  EXPECT_EQ(request[12], 0x63);
  EXPECT_EQ(request[14], 0x0A);
  line.Send(request);
  const plcsim::TimePoint sent = line.now;
  const std::vector<Sent> frames = line.RunFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].at - sent, Millis(5)) << "the driver purges its input right after sending";
  const Bytes& frame = frames[0].bytes;
  ASSERT_EQ(frame.size(), 15u + 20);
  EXPECT_EQ(frame[0], 0x1B);
  EXPECT_EQ(frame[1], 'X');
  EXPECT_EQ(frame[7], 20);
  EXPECT_EQ(frame[8], 0);
  const SnpxResponse response = ParseSnpx(frame);
  EXPECT_TRUE(response.ok) << ToHex(frame);
  EXPECT_EQ(response.status, 0);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(response.data[2 * k] | response.data[2 * k + 1] << 8, 100 + k);
  EXPECT_EQ(line.Plc(2).stats.reads, 1);
  EXPECT_EQ(line.Plc(3).stats.reads, 0);
}

TEST(SnpxRead, ClockWordsHoldTheTimeOfTheRead) {
  plcsim::EngineConfig config;
  config.clockWords = {{Area::AI, 1}};
  Line line(kNetwork, config);
  line.Exchange(SnpxBroadcastAttach());
  line.Run(Millis(1234));
  const auto ms = std::chrono::duration_cast<Millis>(line.now.time_since_epoch()).count();
  const SnpxResponse response = Ask(line, SnpxRequest("PLCC", 1, 0x0A, 0, 2));  // %AI1, %AI2
  ASSERT_EQ(response.data.size(), 4u);
  EXPECT_EQ(response.data[0] | response.data[1] << 8, 10001);
  EXPECT_EQ(response.data[2] | response.data[3] << 8, ms % 65536);
}

struct ReadCase {
  const char* name;
  uint8_t selector;
  uint16_t index;
  uint16_t length;
  std::size_t bytes;
};

TEST(SnpxRead, EveryUnitReturnsItsBytes) {
  const ReadCase cases[] = {
      {"one %AI word", 0x0A, 3, 1, 2},     {"256 %R words", 0x08, 0, 256, 512}, {"4 bytes of %Q", 0x12, 2, 4, 4},
      {"one bit of %M", 0x4C, 37, 1, 1},   {"bits 6..9 of %T", 0x4A, 6, 4, 2},  {"%SC bytes", 0x1C, 0, 16, 16},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    const SnpxResponse response = Ask(line, SnpxRequest("PLCB", 1, c.selector, c.index, c.length));
    EXPECT_TRUE(response.ok);
    ASSERT_EQ(response.data.size(), c.bytes);
    EXPECT_EQ(response.data, line.Plc(2).memory.Read(*plcsim::DecodeSelector(c.selector), c.index, c.length));
  }
}

TEST(SnpxRead, OtherIdsAndWrongBccsAreNotAnswered) {
  Line line = AttachedLine();
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCA", 1, 0x08, 0, 1)).size(), 0u) << "an SNP station";
  EXPECT_EQ(line.Exchange(SnpxRequest("PLCD", 1, 0x08, 0, 1)).size(), 0u);
  EXPECT_EQ(line.Exchange(SnpxRequest("PLC", 1, 0x08, 0, 1)).size(), 0u);
  Bytes wrong = SnpxRequest("PLCB", 1, 0x08, 0, 1);
  wrong[23] ^= 0x01;
  EXPECT_EQ(line.Exchange(wrong).size(), 0u);
  EXPECT_EQ(line.Plc(2).stats.bccErrors, 1);
}

struct ShortWriteCase {
  const char* name;
  uint8_t selector;
  uint16_t index;
  uint16_t length;
  Bytes data;
  Area area;
  std::size_t word;
  uint16_t before;
  uint16_t after;
};

TEST(SnpxWrite, ShortWritesCarryTheirDataInTheRequest) {
  const ShortWriteCase cases[] = {
      {"0x1234 to %R10", 0x08, 9, 1, Hex("34 12"), Area::R, 9, 0, 0x1234},
      {"%AQ word", 0x0C, 0, 1, Hex("FF FF"), Area::AQ, 0, 0, 0xFFFF},
      {"one word of %M by bytes", 0x16, 2, 2, Hex("CD AB"), Area::M, 1, 0, 0xABCD},
      {"one byte of %Q", 0x12, 3, 1, Hex("5A"), Area::Q, 1, 0x1111, 0x5A11},
      {"bit 37 of %M set by 0x20", 0x4C, 37, 1, Hex("20"), Area::M, 2, 0x0000, 0x0020},
      {"bit 37 of %M cleared by 0x00", 0x4C, 37, 1, Hex("00"), Area::M, 2, 0xFFFF, 0xFFDF},
  };
  for (const ShortWriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    line.Plc(2).memory.SetWord(c.area, c.word, c.before);
    const Bytes frame = line.Exchange(SnpxRequest("PLCB", 2, c.selector, c.index, c.length, c.data));
    EXPECT_EQ(frame.size(), 15u);
    const SnpxResponse response = ParseSnpx(frame);
    EXPECT_TRUE(response.ok);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(line.Plc(2).memory.Word(c.area, c.word), c.after);
  }
}

TEST(SnpxWrite, ALongWriteIsAcceptedThenTakesItsDataFrame) {
  Line line = AttachedLine();
  const Bytes request = SnpxRequest("PLCB", 2, 0x08, 20, 3, {}, 14);
  EXPECT_EQ(request[19], 'T');
  SnpxResponse response = Ask(line, request);
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 20), 21) << "nothing written before the data";
  const Bytes data = SnpxData(Hex("11 11 22 22 33 33"));
  ASSERT_EQ(data.size(), 14u);
  EXPECT_EQ(data[8], 0x17);
  response = Ask(line, data);
  EXPECT_TRUE(response.ok);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 20), 0x1111);
  EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 22), 0x3333);
  EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 23), 24);
}

TEST(SnpxWrite, ALongWriteOf512Bytes) {
  Line line = AttachedLine();
  Bytes data(512);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 7);
  EXPECT_EQ(Ask(line, SnpxRequest("PLCB", 2, 0x08, 1000, 256, {}, 520)).status, 0);
  EXPECT_EQ(Ask(line, SnpxData(data)).status, 0);
  EXPECT_EQ(line.Plc(2).memory.Read({Area::R, plcsim::Unit::Word}, 1000, 256), data);
}

TEST(SnpxWrite, ADataFrameWithAWrongBccIsNotAnsweredNorWritten) {
  Line line = AttachedLine();
  Ask(line, SnpxRequest("PLCB", 2, 0x08, 20, 3, {}, 14));
  Bytes data = SnpxData(Hex("11 11 22 22 33 33"));
  data.back() ^= 0x01;
  EXPECT_EQ(line.Exchange(data).size(), 0u);
  EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 20), 21);
}

struct StatusCase {
  const char* name;
  Bytes request;
  uint8_t minor;
};

TEST(SnpxErrors, BadRequestsGetAnErrorStatusWithoutData) {
  const StatusCase cases[] = {
      {"read past the end", SnpxRequest("PLCB", 1, 0x08, 16380, 10), plcsim::kMinorOutOfRange},
      {"unknown selector", SnpxRequest("PLCB", 1, 0x09, 0, 1), plcsim::kMinorBadSelector},
      {"zero length", SnpxRequest("PLCB", 1, 0x08, 0, 0), plcsim::kMinorBadLength},
      {"write past the end of %S", SnpxRequest("PLCB", 2, 0x54, 128, 1, Hex("01")), plcsim::kMinorOutOfRange},
      {"three words without a data frame", SnpxRequest("PLCB", 2, 0x08, 0, 3, Hex("01 02")),
       plcsim::kMinorBadLength},
      {"data frame length disagrees", SnpxRequest("PLCB", 2, 0x08, 0, 3, {}, 16), plcsim::kMinorBadLength},
      {"unknown request code", SnpxRequest("PLCB", 9, 0x08, 0, 1), plcsim::kMinorUnknownRequest},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    Line line = AttachedLine();
    const Bytes frame = line.Exchange(c.request);
    ASSERT_EQ(frame.size(), 15u) << ToHex(frame);
    const SnpxResponse response = ParseSnpx(frame);
    EXPECT_TRUE(response.ok);
    EXPECT_EQ(response.status, plcsim::kMajorRequestError | c.minor << 8);
    EXPECT_EQ(line.Plc(2).memory.Word(Area::R, 0), 1) << "nothing written";
  }
}

}  // namespace
}  // namespace simtest
