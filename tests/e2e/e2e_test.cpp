// The driver module end to end, as a host calls it, against the PLC simulator
// on a serial line: SNP stations 1, 2, 3, a silent SNP station 4 and SNPX
// stations 5 and 6, as the board's network file describes them. Values
// written are read back through other requests and access widths.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/driver_module.h"
#include "tests/support/log_capture.h"

namespace {

constexpr int32_t kWord = 0;
constexpr int32_t kDouble = 3;
constexpr int32_t kDigital = 6;
constexpr uint16_t kUntouched = 0xBEEF;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(LoadedKelMain(), nullptr) << "the driver module did not load";
    ASSERT_FALSE(E2ePort().empty()) << "KEL_E2E_PORT names no port";
    ASSERT_EQ(board_.Load(E2ePort()), 0);
  }
  void TearDown() override { board_.Call(kRequestClosePort, nullptr); }

  ParseRecord Parsed(const std::string& gas, int32_t type, int32_t count = 1, bool block = false) {
    ParseRecord record{};
    EXPECT_EQ(board_.Parse(gas, type, count, block, &record), 0) << gas;
    return record;
  }
  TagResult Single(uint32_t code, const std::string& gas, int32_t type, std::vector<uint16_t> buffer) {
    return board_.Transfer(code, Parsed(gas, type), 1, std::move(buffer));
  }
  TagResult Block(uint32_t code, const std::string& gas, int32_t type, int32_t count, std::vector<uint16_t> buffer) {
    return board_.Transfer(code, Parsed(gas, type, count, true), count, std::move(buffer));
  }

  HostBoard board_{E2eBoard()};
};

std::string Gas(const char* station, char area, int element) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%c%05d", station, area, element);
  return text;
}

struct StationCase {
  const char* station;
  const char* protocol;
};

class EveryArea : public EndToEnd, public ::testing::WithParamInterface<StationCase> {};

TEST_P(EveryArea, WordAreasRoundTripOneElement) {
  for (char area : {'R', 'L', 'O'}) {
    const std::string gas = Gas(GetParam().station, area, 21);
    const uint16_t value = static_cast<uint16_t>(0x1234 + area);
    TagResult written = Single(kRequestWriteSingle, gas, kWord, {kUntouched, value});
    ASSERT_EQ(written.result, 0) << gas;
    EXPECT_EQ(written.values, (std::vector<uint16_t>{kUntouched, value})) << "the host's buffer stays as it was";
    TagResult read = Single(kRequestReadSingle, gas, kWord, {kUntouched, 0});
    ASSERT_EQ(read.result, 0) << gas;
    EXPECT_EQ(read.values, (std::vector<uint16_t>{kUntouched, value})) << gas;
  }
}

TEST_P(EveryArea, ThirtyTwoBitValuesRoundTrip) {
  const std::string gas = Gas(GetParam().station, 'F', 31);
  ASSERT_EQ(Single(kRequestWriteSingle, gas, kDouble, {0x5678, 0x1234}).result, 0);
  TagResult read = Single(kRequestReadSingle, gas, kDouble, {0, 0});
  ASSERT_EQ(read.result, 0);
  EXPECT_EQ(read.values, (std::vector<uint16_t>{0x5678, 0x1234}));
  // F element 31 is %R31 and %R32, low word first.
  TagResult words = Block(kRequestReadBlock, Gas(GetParam().station, 'R', 31), kWord, 2, {0, 0});
  ASSERT_EQ(words.result, 0);
  EXPECT_EQ(words.values, (std::vector<uint16_t>{0x5678, 0x1234}));
}

TEST_P(EveryArea, DiscreteBitsRoundTrip) {
  for (char area : {'I', 'Q', 'T', 'M', 'G', 'A', 'B', 'C'}) {
    const std::string gas = Gas(GetParam().station, area, 35);
    for (uint16_t value : {1, 0, 1}) {
      ASSERT_EQ(Single(kRequestWriteSingle, gas, kDigital, {kUntouched, value}).result, 0) << gas;
      TagResult read = Single(kRequestReadSingle, gas, kDigital, {kUntouched, 7});
      ASSERT_EQ(read.result, 0) << gas;
      EXPECT_EQ(read.values, (std::vector<uint16_t>{kUntouched, value})) << gas;
    }
    // Bit 35 is bit 2 of the third word of the area: the word read agrees.
    TagResult word = Block(kRequestReadBlock, Gas(GetParam().station, area, 33), kWord, 1, {0});
    ASSERT_EQ(word.result, 0) << gas;
    EXPECT_EQ(word.values[0] & 0x0004, 0x0004) << gas;
  }
}

TEST_P(EveryArea, SystemFaultTableIsRead) {
  TagResult read = Single(kRequestReadSingle, Gas(GetParam().station, 'D', 1), kDigital, {kUntouched, 7});
  ASSERT_EQ(read.result, 0);
  EXPECT_EQ(read.values[0], kUntouched);
  EXPECT_LE(read.values[1], 1);
}

TEST_P(EveryArea, BitInRegisterWordIsReadBeforeWrite) {
  const std::string word = Gas(GetParam().station, 'R', 10);
  const std::string bit = word + "5";
  ASSERT_EQ(Single(kRequestWriteSingle, word, kWord, {0, 0x0100}).result, 0);
  TagResult set = Single(kRequestWriteSingle, bit, kDigital, {kUntouched, 1});
  ASSERT_EQ(set.result, 0);
  EXPECT_EQ(set.values, (std::vector<uint16_t>{kUntouched, 1})) << "the host's value is put back";
  EXPECT_EQ(Single(kRequestReadSingle, word, kWord, {0, 0}).values[1], 0x0120);
  EXPECT_EQ(Single(kRequestReadSingle, bit, kDigital, {0, 0}).values[1], 1);

  ASSERT_EQ(Single(kRequestWriteSingle, word, kWord, {0, 0xFFFF}).result, 0);
  ASSERT_EQ(Single(kRequestWriteSingle, bit, kDigital, {0, 0}).result, 0);
  EXPECT_EQ(Single(kRequestReadSingle, word, kWord, {0, 0}).values[1], 0xFFDF);
  EXPECT_EQ(Single(kRequestReadSingle, bit, kDigital, {0, 9}).values[1], 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, EveryArea,
                         ::testing::Values(StationCase{"01", "SNP"}, StationCase{"05", "SNPX"}),
                         [](const auto& info) { return std::string(info.param.protocol); });

struct BlockCase {
  const char* station;
  char area;
  int32_t type;
  int32_t count;
  int wordsPerElement;
};

class Blocks : public EndToEnd, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(Blocks, WriteThenReadBackAtTheParseLimit) {
  const BlockCase& c = GetParam();
  const std::string gas = Gas(c.station, c.area, 1);
  std::vector<uint16_t> values(static_cast<size_t>(c.count * c.wordsPerElement));
  for (size_t k = 0; k < values.size(); ++k) values[k] = static_cast<uint16_t>(k * 7919u + c.count);
  ASSERT_EQ(Block(kRequestWriteBlock, gas, c.type, c.count, values).result, 0);
  TagResult read = Block(kRequestReadBlock, gas, c.type, c.count, std::vector<uint16_t>(values.size()));
  ASSERT_EQ(read.result, 0);
  EXPECT_EQ(read.values, values);
}

INSTANTIATE_TEST_SUITE_P(Limits, Blocks,
                         ::testing::Values(BlockCase{"02", 'R', kWord, 500, 1}, BlockCase{"02", 'F', kDouble, 250, 2},
                                           BlockCase{"02", 'L', kWord, 3, 1}, BlockCase{"06", 'R', kWord, 256, 1},
                                           BlockCase{"06", 'F', kDouble, 128, 2}, BlockCase{"06", 'O', kWord, 5, 1}),
                         [](const auto& info) {
                           return std::string("station") + info.param.station + "_" + info.param.area + "_" +
                                  std::to_string(info.param.count);
                         });

TEST_F(EndToEnd, DiscreteBlockReadsWordsOfSixteenBits) {
  for (const char* station : {"03", "05"}) {
    // %M17..%M32 is the second word of %M.
    ASSERT_EQ(Single(kRequestWriteSingle, Gas(station, 'M', 17), kDigital, {0, 1}).result, 0);
    ASSERT_EQ(Single(kRequestWriteSingle, Gas(station, 'M', 32), kDigital, {0, 1}).result, 0);
    ASSERT_EQ(Single(kRequestWriteSingle, Gas(station, 'M', 18), kDigital, {0, 0}).result, 0);
    TagResult read = Block(kRequestReadBlock, Gas(station, 'M', 17), kDigital, 2, {0, 0});
    ASSERT_EQ(read.result, 0) << station;
    EXPECT_EQ(read.values[0] & 0x8003, 0x8001) << station;
  }
}

TEST_F(EndToEnd, BlockWriteOutsideRegisterAreasIsRefused) {
  LogCapture log;
  TagResult refused = Block(kRequestWriteBlock, "01m00017", kDigital, 5, std::vector<uint16_t>(5));
  EXPECT_EQ(refused.result, 1);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{32, "KELG1:Block write not allowed. GAS= 01M00017"}}));
}

TEST_F(EndToEnd, AddressOutsideThePlcMemoryIsAPlcError) {
  LogCapture log;
  TagResult snp = Single(kRequestReadSingle, "01R60000", kWord, {0, 0});
  EXPECT_EQ(snp.result, 1);
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(log.Lines().back(), (LogLine{32, "KelG1:Read failed. Plc 1. rc = 1. GAS= 01R60000"}));
  EXPECT_EQ(log.Lines().front(), (LogLine{8, "KELG1:Error Nack received for read!"}));

  log.Clear();
  TagResult snpx = Single(kRequestWriteSingle, "05R60000", kWord, {0, 5});
  EXPECT_EQ(snpx.result, 1);
  ASSERT_EQ(log.Lines().size(), 4u);
  EXPECT_EQ(log.Lines()[0].level, 32);
  EXPECT_EQ(log.Lines()[0].text.rfind("kelG1: SNPX Error Code 0x", 0), 0u) << log.Lines()[0].text;
  EXPECT_NE(log.Lines()[0].text.find(" from Station SNPXA"), std::string::npos);
  EXPECT_EQ(log.Lines()[3], (LogLine{32, "KelG1: Write failed. Plc 5. RC=1. GAS= 05R60000"}));
}

TEST_F(EndToEnd, StationsTakeTurnsOnOneLine) {
  // Each station keeps its own memory; switching stations re-attaches.
  for (int round = 0; round < 2; ++round) {
    for (const char* station : {"01", "02", "03", "05", "06"}) {
      const uint16_t value = static_cast<uint16_t>(100 * round + std::atoi(station));
      ASSERT_EQ(Single(kRequestWriteSingle, Gas(station, 'R', 2), kWord, {0, value}).result, 0) << station;
    }
    for (const char* station : {"06", "03", "05", "01", "02"}) {
      const uint16_t value = static_cast<uint16_t>(100 * round + std::atoi(station));
      EXPECT_EQ(Single(kRequestReadSingle, Gas(station, 'R', 2), kWord, {0, 0}).values[1], value) << station;
    }
  }
}

}  // namespace

namespace {

TEST_F(EndToEnd, SilentStationCannotBeAttached) {
  LogCapture log;
  TagResult read = Single(kRequestReadSingle, "04R00001", kWord, {kUntouched, kUntouched});
  EXPECT_EQ(read.result, 2);
  EXPECT_EQ(read.values, (std::vector<uint16_t>{kUntouched, kUntouched}));
  // Three tries of eight attach attempts each, then the request's line.
  std::vector<LogLine> expected;
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (int retry = 1; retry <= 8; ++retry) {
      expected.push_back({8, "KELG1: Failed to receive Attach response. PLC=4, retry=" + std::to_string(retry)});
    }
  }
  expected.push_back({32, "KelG1:Read failed. Plc 4. rc = 2. GAS= 04R00001"});
  EXPECT_EQ(log.Lines(), expected);
}

}  // namespace
