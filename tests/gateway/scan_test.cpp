// The scan engine's plain parts on a fake clock: the planner's blocks, the
// schedule, the cache's quality and write-through, and station health.
#include <gtest/gtest.h>

#include "gateway/health.h"
#include "gateway/scan_cache.h"
#include "gateway/scan_plan.h"

namespace kelgate {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);

const Area* A(const char* name) { return FindArea(name); }

ScanGroup Group(int station, const char* area, uint32_t first, uint32_t last, uint32_t intervalMs = 1000) {
  ScanGroup group;
  group.station = station;
  group.area = A(area);
  group.first = first;
  group.last = last;
  group.intervalMs = intervalMs;
  return group;
}

const std::vector<StationInfo> kStations = {
    {1, "PRESS1", Protocol::kSnp, 500},
    {2, "OVEN", Protocol::kSnpx, 256},
};

TEST(PlanScan, MergesSplitsAndOrders) {
  struct Case {
    const char* what;
    std::vector<ScanGroup> groups;
    std::vector<ScanBlock> blocks;
  } cases[] = {
      {"overlapping ranges are one block", {Group(1, "R", 1, 10), Group(1, "R", 5, 20)}, {{1, A("R"), 1, 20, 1000}}},
      {"a gap of 16 words is read with them",
       {Group(1, "R", 1, 10), Group(1, "R", 27, 30)},
       {{1, A("R"), 1, 30, 1000}}},
      {"a gap of 17 words is not",
       {Group(1, "R", 1, 10), Group(1, "R", 28, 30)},
       {{1, A("R"), 1, 10, 1000}, {1, A("R"), 28, 3, 1000}}},
      {"split at the SNP limit of 500",
       {Group(1, "R", 1, 600)},
       {{1, A("R"), 1, 500, 1000}, {1, A("R"), 501, 100, 1000}}},
      {"split at the SNPX limit of 256",
       {Group(2, "R", 1, 600)},
       {{2, A("R"), 1, 256, 1000}, {2, A("R"), 257, 256, 1000}, {2, A("R"), 513, 88, 1000}}},
      {"a close range is left apart when merging saves no request",
       {Group(2, "R", 1, 256), Group(2, "R", 260, 270)},
       {{2, A("R"), 1, 256, 1000}, {2, A("R"), 260, 11, 1000}}},
      {"station by station, areas in order, unknown stations left out",
       {Group(kAllStations, "AI", 1, 4), Group(2, "R", 7, 8), Group(9, "R", 1, 1), Group(1, "R", 1, 2)},
       {{1, A("R"), 1, 2, 1000}, {1, A("AI"), 1, 4, 1000}, {2, A("R"), 7, 2, 1000}, {2, A("AI"), 1, 4, 1000}}},
      {"different intervals are read apart",
       {Group(1, "R", 1, 10, 500), Group(1, "R", 5, 20, 1000)},
       {{1, A("R"), 1, 10, 500}, {1, A("R"), 5, 16, 1000}}},
      {"bits are read by whole words",
       {Group(1, "M", 5, 16), Group(1, "M", 17, 40), Group(1, "Q", 20, 30)},
       {{1, A("Q"), 17, 1, 1000}, {1, A("M"), 1, 3, 1000}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlanScan(c.groups, kStations), c.blocks) << c.what;
  }
}

TEST(ScanSchedule, ABlockIsDueOneIntervalAfterItsLastRead) {
  ScanSchedule schedule({{1, A("R"), 1, 10, 500}, {1, A("R"), 100, 10, 2000}}, t0);
  EXPECT_EQ(schedule.Due(t0), (std::vector<size_t>{0, 1}));
  schedule.Done(0, t0 + milliseconds(10));
  schedule.Done(1, t0 + milliseconds(30));
  EXPECT_TRUE(schedule.Due(t0 + milliseconds(509)).empty());
  EXPECT_EQ(schedule.Next(), t0 + milliseconds(510));
  EXPECT_EQ(schedule.Due(t0 + milliseconds(510)), (std::vector<size_t>{0}));
  EXPECT_EQ(schedule.Due(t0 + milliseconds(2030)), (std::vector<size_t>{0, 1}));
  EXPECT_EQ(ScanSchedule({}, t0).Next(), Clock::time_point::max());
}

TEST(ScanCache, QualityOverTime) {
  ScanCache cache(2000);
  const ScanBlock block{1, A("R"), 1, 10, 1000};
  cache.Declare(block);
  const WallClock::time_point wall = WallClock::now();

  CachedRun run = cache.Read(1, *A("R"), 3, 2, t0);
  EXPECT_TRUE(run.scanned);
  EXPECT_EQ(run.quality, Quality::kBad) << "nothing read yet";
  EXPECT_FALSE(cache.OldestAge(1, t0));
  EXPECT_FALSE(cache.Read(1, *A("R"), 10, 2, t0).scanned) << "element 11 is not scanned";
  EXPECT_FALSE(cache.Read(2, *A("R"), 1, 1, t0).scanned) << "another station";
  EXPECT_FALSE(cache.Read(1, *A("AI"), 1, 1, t0).scanned) << "another area";

  cache.Store(block, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, t0, wall);
  struct Step {
    Clock::duration after;
    Quality quality;
  } steps[] = {
      {milliseconds(0), Quality::kGood}, {milliseconds(2000), Quality::kGood}, {milliseconds(2001), Quality::kStale}};
  for (const Step& step : steps) {
    run = cache.Read(1, *A("R"), 3, 2, t0 + step.after);
    EXPECT_EQ(run.quality, step.quality) << QualityName(step.quality);
    EXPECT_EQ(run.items, (std::vector<uint16_t>{3, 4}));
    EXPECT_EQ(run.readAt, t0);
    EXPECT_EQ(run.readWall, wall);
  }
  EXPECT_EQ(*cache.OldestAge(1, t0 + milliseconds(700)), milliseconds(700));

  // A failed read makes the data bad at once, with the failure's kind.
  cache.Fail(block, FailureKind::kNoResponse);
  run = cache.Read(1, *A("R"), 1, 10, t0 + milliseconds(1));
  EXPECT_EQ(run.quality, Quality::kBad);
  EXPECT_EQ(run.failure, FailureKind::kNoResponse);
  cache.Store(block, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, t0 + seconds(5), wall);
  EXPECT_EQ(cache.Read(1, *A("R"), 1, 10, t0 + seconds(5)).quality, Quality::kGood);
}

TEST(ScanCache, AGoodWriteUpdatesTheScannedElements) {
  ScanCache cache(2000);
  const ScanBlock words{1, A("R"), 1, 4, 1000};
  const ScanBlock bits{1, A("M"), 17, 2, 1000};  // %M17..%M48
  cache.Declare(words);
  cache.Declare(bits);
  const WallClock::time_point wall = WallClock::now();
  cache.Store(words, {1, 2, 3, 4}, t0, wall);
  cache.Store(bits, {0x0000, 0x8001}, t0, wall);

  // Registers 3..5: 3 and 4 are scanned, 5 is not and stays unknown.
  cache.Write(1, *A("R"), 3, {30, 40, 50}, t0 + seconds(5), wall);
  CachedRun run = cache.Read(1, *A("R"), 1, 4, t0 + seconds(5));
  EXPECT_EQ(run.items, (std::vector<uint16_t>{1, 2, 30, 40}));
  EXPECT_EQ(run.quality, Quality::kStale) << "elements 1 and 2 are as old as their read";
  EXPECT_EQ(cache.Read(1, *A("R"), 3, 2, t0 + seconds(5)).quality, Quality::kGood);
  EXPECT_FALSE(cache.Read(1, *A("R"), 5, 1, t0).scanned);

  cache.Write(1, *A("M"), 32, {0, 1, 1}, t0, wall);  // %M32..%M34
  EXPECT_EQ(cache.Read(1, *A("M"), 31, 5, t0).items, (std::vector<uint16_t>{0, 0, 1, 1, 0}));
  EXPECT_EQ(cache.Read(1, *A("M"), 48, 1, t0).items, (std::vector<uint16_t>{1}));

  // A write to a station whose last read failed keeps it bad until read.
  cache.Fail(words, FailureKind::kPlcError);
  cache.Write(1, *A("R"), 1, {7}, t0, wall);
  EXPECT_EQ(cache.Read(1, *A("R"), 1, 1, t0).quality, Quality::kGood);
  EXPECT_EQ(cache.Read(1, *A("R"), 1, 2, t0).quality, Quality::kBad);
}

TEST(StationHealth, DemotionProbesAndPromotion) {
  StationHealth health(HealthConfig{1, 10, 60});
  using Change = StationHealth::Change;
  using Admission = StationHealth::Admission;
  // A PLC's error answer, a NAK or a damaged frame come from a station that
  // is there: they never demote it.
  for (FailureKind kind : {FailureKind::kPlcError, FailureKind::kNak, FailureKind::kChecksum, FailureKind::kRefused,
                           FailureKind::kOther, FailureKind::kNone}) {
    EXPECT_EQ(health.Report(kind, t0), Change::kNone) << FailureKindName(kind);
  }
  EXPECT_EQ(health.Admit(t0), Admission::kGo);

  struct Step {
    Clock::duration at;  // since t0
    Admission admission;
    FailureKind outcome;  // reported when admitted
    Change change;
    int holdS;  // after the step
  } steps[] = {
      {seconds(0), Admission::kGo, FailureKind::kNoResponse, Change::kDemoted, 10},
      {seconds(9), Admission::kRefuse, FailureKind::kNone, Change::kNone, 10},
      {seconds(10), Admission::kProbe, FailureKind::kNotAttached, Change::kProbeFailed, 20},
      {seconds(29), Admission::kRefuse, FailureKind::kNone, Change::kNone, 20},
      {seconds(30), Admission::kProbe, FailureKind::kNoResponse, Change::kProbeFailed, 40},
      {seconds(70), Admission::kProbe, FailureKind::kNoResponse, Change::kProbeFailed, 60},
      {seconds(130), Admission::kProbe, FailureKind::kNoResponse, Change::kProbeFailed, 60},
      // Any answer promotes, even a PLC's error.
      {seconds(190), Admission::kProbe, FailureKind::kPlcError, Change::kPromoted, 60},
      {seconds(191), Admission::kGo, FailureKind::kNoResponse, Change::kDemoted, 10},
      {seconds(201), Admission::kProbe, FailureKind::kNone, Change::kPromoted, 10},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::chrono::duration_cast<seconds>(step.at).count());
    EXPECT_EQ(health.Admit(t0 + step.at), step.admission);
    if (step.admission != Admission::kRefuse) {
      EXPECT_EQ(health.Report(step.outcome, t0 + step.at), step.change);
    }
    EXPECT_EQ(health.Hold(), seconds(step.holdS));
  }
  EXPECT_FALSE(health.Demoted());
  EXPECT_EQ(health.Demotions(), 2u);
  EXPECT_EQ(health.TimeDemoted(t0 + seconds(300)), seconds(190 + 10));
}

TEST(StationHealth, FailuresInARowAndHealthOff) {
  StationHealth three(HealthConfig{3, 10, 300});
  EXPECT_EQ(three.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kNone);
  EXPECT_EQ(three.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kNone);
  EXPECT_EQ(three.Report(FailureKind::kPlcError, t0), StationHealth::Change::kNone) << "an answer ends the row";
  EXPECT_EQ(three.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kNone);
  EXPECT_EQ(three.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kNone);
  EXPECT_EQ(three.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kDemoted);
  EXPECT_TRUE(three.Demoted());

  StationHealth off(HealthConfig{0, 10, 300});
  for (int k = 0; k < 5; ++k) EXPECT_EQ(off.Report(FailureKind::kNoResponse, t0), StationHealth::Change::kNone);
  EXPECT_EQ(off.Admit(t0), StationHealth::Admission::kGo);
}

}  // namespace
}  // namespace kelgate
