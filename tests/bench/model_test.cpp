// The model the benchmark holds the driver to: byte counts of each exchange,
// and line times that follow from them by hand.
#include <gtest/gtest.h>

#include "bench/model.h"
#include "bench/stats.h"

namespace bench {
namespace {

constexpr double kC19200 = 1000.0 * 11 / 19200;  // ms per character

TEST(BenchModel, FramesOfEachExchange) {
  struct Case {
    const char* what;
    Exchange exchange;
    std::size_t bytes;
    std::size_t turnarounds;
    double pausesMs;
  };
  const Case cases[] = {
      {"SNPX read of one register", SnpxRead(2), 24 + 17, 1, 0},
      {"SNPX read of 256 registers", SnpxRead(512), 24 + 527, 1, 0},
      {"SNPX bit in a register: read, then write", SnpxBitWriteInRegister(), 24 + 17 + 24 + 15, 2, 0},
      {"SNP read, data in the reply", SnpRead(2), 40 + 2 + 40 + 2, 2, 0},
      {"SNP read of 100 registers: one text buffer", SnpRead(200), 84 + 208 + 2, 3, 0},
      {"SNP read of 500 registers: four text buffers", SnpRead(1000), 84 + 3 * 264 + 240 + 4 * 2, 6, 0},
      {"SNP write of 4 registers in the mailbox", SnpWrite(8), 84, 2, 0},
      {"SNP write of 5 registers in a text buffer", SnpWrite(10), 84 + 18 + 2, 3, 0},
      {"SNP attach", SnpAttach(), 48, 1, 120},
      {"SNPX broadcast attach", SnpxBroadcastAttach(), 24, 0, 220},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(BytesOnLine(c.exchange), c.bytes);
    EXPECT_EQ(Turnarounds(c.exchange), c.turnarounds);
    EXPECT_DOUBLE_EQ(PausesMs(c.exchange), c.pausesMs);
  }
}

TEST(BenchModel, LineTimeOfRepeatedExchanges) {
  const LineModel line;  // 19200 baud, 11 bits, 5 ms turnaround
  struct Case {
    const char* what;
    Exchange exchange;
    double ms;
  };
  const Case cases[] = {
      // Every byte and turnaround in turn: nothing overlaps.
      {"SNPX read of 256 registers", SnpxRead(512), 551 * kC19200 + 5},
      // The final ACK crosses the line before the next request can.
      {"SNP read of one register", SnpRead(2), 84 * kC19200 + 10},
      {"SNP read of 500 registers", SnpRead(1000), 1124 * kC19200 + 30},
      // The attach frame travels during the 100 ms pause after it.
      {"SNPX attach and read", SnpxBroadcastAttach() + SnpxRead(2), 220 + 41 * kC19200 + 5},
      // The final ACK of the read travels during the break before the next attach.
      {"SNP attach and read", SnpAttach() + SnpRead(2), 120 + (48 + 82) * kC19200 + 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NEAR(ModelMs(line, c.exchange), c.ms, 1e-9);
  }
  // Half the speed, twice the character time.
  EXPECT_NEAR(ModelMs(LineModel{9600, 11, 5}, SnpxRead(2)), 41 * 2 * kC19200 + 5, 1e-9);
}

TEST(BenchModel, ScanGrowsByOneAttachAndReadPerStation) {
  const LineModel line;
  for (const bool snpx : {false, true}) {
    SCOPED_TRACE(snpx ? "SNPX" : "SNP");
    const double perStation = ModelMs(line, snpx ? SnpxBroadcastAttach() + SnpxRead(2) : SnpAttach() + SnpRead(2));
    // One station needs no attach.
    EXPECT_NEAR(ModelMs(line, Scan(snpx, 1)), ModelMs(line, snpx ? SnpxRead(2) : SnpRead(2)), 1e-9);
    for (const int n : {4, 16, 64}) EXPECT_NEAR(ModelMs(line, Scan(snpx, n)), n * perStation, 1e-6);
  }
}

TEST(BenchStats, MedianAndSpread) {
  struct Case {
    std::vector<double> samples;
    double median, min, max, p10, p90;
  };
  const Case cases[] = {
      {{5}, 5, 5, 5, 5, 5},
      {{3, 1, 2}, 2, 1, 3, 1, 3},
      {{4, 1, 3, 2}, 2.5, 1, 4, 1, 4},
      {{10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100}, 6, 1, 100, 2, 10},
  };
  for (const Case& c : cases) {
    const Summary s = Summarize(c.samples);
    EXPECT_DOUBLE_EQ(s.median, c.median);
    EXPECT_DOUBLE_EQ(s.min, c.min);
    EXPECT_DOUBLE_EQ(s.max, c.max);
    EXPECT_DOUBLE_EQ(s.p10, c.p10);
    EXPECT_DOUBLE_EQ(s.p90, c.p90);
  }
  EXPECT_DOUBLE_EQ(Summarize({}).median, 0);
}

}  // namespace
}  // namespace bench
