// The scan engine as the doors use it, on the driver and the simulator in
// this process: the listeners' events, a write from another door under the
// write policy, and a station switched off and on again.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "gateway/report.h"
#include "gateway/scan_engine.h"
#include "sim/simulator.h"
#include "tests/support/network_file_fixture.h"

namespace kelgate {
namespace {

constexpr int32_t kBoard = 731;

// Records the events as a door would: copies them and returns.
class Recorder : public ScanListener {
 public:
  void OnBlockRead(const BlockEvent& event) override { Add("read", event); }
  void OnBlockFailed(const BlockEvent& event) override { Add("failed", event); }
  void OnDemoted(int station, FailureKind failure) override {
    Push("demoted " + std::to_string(station) + " " + FailureKindName(failure));
  }
  void OnPromoted(int station) override { Push("promoted " + std::to_string(station)); }
  void OnStationCycle(int station, bool good) override {
    Push("cycle " + std::to_string(station) + (good ? " good" : " bad"));
  }

  // Waits until an event equal to `text` has come.
  bool WaitFor(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return std::find(events_.begin(), events_.end(), text) != events_.end(); });
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  BlockEvent Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  void Add(const char* what, const BlockEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = event;
    std::string text =
        std::string(what) + " " + std::to_string(event.station) + " %" + event.area->name + std::to_string(event.first);
    for (uint16_t word : event.words) text += " " + std::to_string(word);
    if (event.failure != FailureKind::kNone) text += std::string(" ") + FailureKindName(event.failure);
    events_.push_back(text);
    changed_.notify_all();
  }
  void Push(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(text);
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  BlockEvent last_;
};

class EngineOnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    plcsim::SimulatorOptions options;
    options.stations = plcsim::ParseNetworkText("01PRESS1\n02OVEN*\n");
    options.engine.pattern = false;
    sim_ = std::make_unique<plcsim::Simulator>(options);
    ASSERT_TRUE(module_.Load()) << module_.Error();
    board_ = std::make_unique<Board>(module_, kBoard);
    ASSERT_EQ(board_->Load(sim_->PortName(), 100), 0);
  }
  void TearDown() override {
    engine_.reset();
    board_->Close();
  }
  void Start(std::vector<ScanGroup> groups, const std::string& writable) {
    ScanConfig config;
    config.groups = std::move(groups);
    config.health = HealthConfig{1, 1, 1};
    WritePolicy policy;
    std::string error;
    ASSERT_TRUE(policy.Parse(writable, &error)) << error;
    engine_ = std::make_unique<ScanEngine>(*board_, FindStations(*board_), config, policy, 8, false,
                                           [this](const std::string& line) { log_.push_back(line); });
    engine_->AddListener(recorder_);
    engine_->Start();
  }
  static ScanGroup Group(int station, const char* area, uint32_t first, uint32_t last) {
    ScanGroup group;
    group.station = station;
    group.area = FindArea(area);
    group.first = first;
    group.last = last;
    group.intervalMs = 50;
    return group;
  }
  static Clock::time_point Soon() { return Clock::now() + std::chrono::seconds(5); }

  NetworkFile network_{kBoard, "01PRESS1\n02OVEN*\n"};
  std::unique_ptr<plcsim::Simulator> sim_;
  DriverModule module_;
  std::unique_ptr<Board> board_;
  std::unique_ptr<ScanEngine> engine_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::vector<std::string> log_;
};

TEST_F(EngineOnSimulator, StationsBlocksAndTheListenersEvents) {
  sim_->Plc(1).SetWords(plcsim::Area::R, 0, {11, 12, 13});
  sim_->Plc(2).SetWords(plcsim::Area::R, 0, {21, 22, 23});
  sim_->Plc(1).Set("%M18", 1);
  Start({Group(kAllStations, "R", 1, 3), Group(1, "M", 17, 20)}, "");
  const std::vector<StationInfo>& stations = engine_->Stations();
  ASSERT_EQ(stations.size(), 2u);
  EXPECT_EQ(stations[0].snpId, "PRESS1");
  EXPECT_EQ(stations[0].protocol, Protocol::kSnp);
  EXPECT_EQ(stations[0].blockLimit, 500u);
  EXPECT_EQ(stations[1].snpId, "OVEN");
  EXPECT_EQ(stations[1].protocol, Protocol::kSnpx);
  EXPECT_EQ(stations[1].blockLimit, 256u);
  EXPECT_EQ(engine_->Blocks().size(), 3u);

  ASSERT_TRUE(recorder_->WaitFor("cycle 2 good"));
  const std::vector<std::string> events = recorder_->Events();
  const std::vector<std::string> first(events.begin(), events.begin() + 5);
  EXPECT_EQ(first, (std::vector<std::string>{"read 1 %R1 11 12 13", "read 1 %M17 2", "cycle 1 good",
                                             "read 2 %R1 21 22 23", "cycle 2 good"}));
  const BlockEvent last = recorder_->Last();
  EXPECT_LE(WallClock::now() - last.time, std::chrono::seconds(5));

  const CachedRun run = engine_->Cached(1, *FindArea("M"), 17, 4);
  EXPECT_TRUE(run.scanned);
  EXPECT_EQ(run.quality, Quality::kGood);
  EXPECT_EQ(run.items, (std::vector<uint16_t>{0, 1, 0, 0}));
  const EngineSnapshot snapshot = engine_->Snapshot();
  EXPECT_GE(snapshot.stations[0].cycles, 1u);
  EXPECT_GE(snapshot.stations[0].blockReads, 2u);
  EXPECT_TRUE(snapshot.stations[0].dataAgeMs);
  EXPECT_GE(snapshot.line.cycles, 1u);
}

TEST_F(EngineOnSimulator, WritesFromAnotherDoorFollowTheOnePolicy) {
  Start({Group(2, "R", 1, 4)}, "R:2-3");
  ASSERT_TRUE(recorder_->WaitFor("cycle 2 good"));
  // Outside the policy: refused, nothing on the line.
  Outcome outcome = engine_->Write(-1, 2, *FindArea("R"), 1, {7, 8}, Soon());
  EXPECT_EQ(outcome.exception, kIllegalAddress);
  EXPECT_FALSE(outcome.reachedLine);
  EXPECT_EQ(sim_->Plc(2).Get("%R1"), 0);

  outcome = engine_->Write(-1, 2, *FindArea("R"), 2, {7, 8}, Soon());
  EXPECT_EQ(outcome.exception, kNoException);
  EXPECT_EQ(sim_->Plc(2).Get("%R2"), 7);
  EXPECT_EQ(engine_->Cached(2, *FindArea("R"), 1, 4).items, (std::vector<uint16_t>{0, 7, 8, 0}))
      << "a good write updates the cache at once";

  std::mutex mutex;
  std::condition_variable done;
  std::optional<Outcome> async;
  engine_->WriteAsync(-1, 2, *FindArea("R"), 3, {99}, Soon(), [&](const Outcome& o) {
    std::lock_guard<std::mutex> lock(mutex);
    async = o;
    done.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return async.has_value(); }));
  EXPECT_EQ(async->exception, kNoException);
  EXPECT_EQ(sim_->Plc(2).Get("%R3"), 99);
}

TEST_F(EngineOnSimulator, AStationSwitchedOffIsDemotedAndPromotedAgain) {
  Start({Group(kAllStations, "R", 1, 2)}, "");
  ASSERT_TRUE(recorder_->WaitFor("cycle 2 good"));
  sim_->Plc(2).Silent();
  ASSERT_TRUE(recorder_->WaitFor("demoted 2 no response"));
  EXPECT_TRUE(recorder_->WaitFor("failed 2 %R1 no response"));
  EXPECT_TRUE(engine_->Snapshot().stations[1].demoted);
  EXPECT_EQ(engine_->Cached(2, *FindArea("R"), 1, 2).quality, Quality::kBad);
  // Every request for it is answered at once.
  const auto t0 = Clock::now();
  const Outcome outcome = engine_->Write(-1, 2, *FindArea("R"), 1, {1}, Soon());
  EXPECT_EQ(outcome.exception, kIllegalAddress) << "the policy comes first";
  Request request;
  request.unit = 2;
  request.function = kReadHoldingRegisters;
  request.address = 99;  // %R100: not scanned, a pass-through read
  request.count = 1;
  const Plan read = MakePlan(request, AddressMap::Default(), WritePolicy{}, {1, 2});
  EXPECT_EQ(engine_->Execute(1, read, Soon()).exception, kGatewayTargetFailed);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(100));

  sim_->Plc(2).Silent(false);
  ASSERT_TRUE(recorder_->WaitFor("promoted 2"));
  EXPECT_EQ(log_.front().rfind("station 2: scan of %R00001-%R00002 failed: no response (", 0), 0u) << log_.front();
  EXPECT_EQ(log_[1],
            "station 2: demoted after 1 request(s) in a row without an answer (no response); its requests "
            "are answered 0x0B at once; probe in 1 s");
  EXPECT_EQ(log_.back(), "station 2: promoted: the probe was answered after a hold of 1 s");
}

}  // namespace
}  // namespace kelgate
