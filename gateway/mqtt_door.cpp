#include "gateway/mqtt_door.h"

#include <cstdio>

namespace kelgate {
namespace {

// MQTT writes wait in a lane of their own in the line's queue, apart from
// the Modbus clients (numbered from 1).
constexpr int kMqttClient = -2;
// How long a write from MQTT may wait for the line.
constexpr auto kWriteDeadline = std::chrono::seconds(10);
constexpr auto kTickInterval = std::chrono::milliseconds(500);

uint64_t Millis(WallClock::time_point time) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

}  // namespace

MqttDoor::MqttDoor(const MqttConfig& config, ScanEngine& engine, std::function<void(const std::string&)> log)
    : config_(config), engine_(engine), log_(std::move(log)) {}

std::shared_ptr<MqttDoor> MqttDoor::Create(const MqttConfig& config, ScanEngine& engine,
                                           std::function<void(const std::string&)> log, std::string* error) {
  std::shared_ptr<MqttDoor> door(new MqttDoor(config, engine, std::move(log)));
  std::vector<Device> devices;
  if (!BuildDevices(engine.Config().groups, engine.Stations(), SparkplugNode::kFirstDeviceAlias, &devices, error)) {
    return nullptr;
  }
  door->client_ = std::make_unique<MqttClient>(config, door->log_);
  MqttNodeContext context;
  context.publisher = door->client_.get();
  context.policy = [&engine] { return &engine.Policy(); };
  MqttDoor* self = door.get();
  context.write = [self](MqttWrite write) { self->Write(std::move(write)); };
  context.log = door->log_;
  context.clock = [] { return Millis(WallClock::now()); };
  if (config.format == MqttConfig::Format::kJson) {
    door->node_ = std::make_unique<JsonNode>(std::move(context), std::move(devices),
                                             JsonConfig{config.prefix, config.node, engine.Config().maxAgeMs});
  } else {
    door->node_ = std::make_unique<SparkplugNode>(std::move(context), std::move(devices),
                                                  SparkplugConfig{config.group, config.node});
  }
  return door;
}

MqttDoor::~MqttDoor() { Stop(); }

bool MqttDoor::Start(std::string* error) {
  if (!client_->Start(node_.get(), error)) return false;
  ticker_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kTickInterval, [this] { return stopping_; })) {
      lock.unlock();
      node_->Tick();
      lock.lock();
    }
  });
  return true;
}

void MqttDoor::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  if (client_) client_->Stop();
}

MqttCounters MqttDoor::Counters() {
  MqttCounters counters;
  counters.enabled = true;
  counters.connected = node_ && node_->IsConnected();
  counters.published = client_ ? client_->Published() : 0;
  return counters;
}

void MqttDoor::Write(MqttWrite write) {
  // The policy was checked by the node; the engine checks it again.
  const std::string what = write.what;
  auto log = log_;
  engine_.WriteAsync(kMqttClient, write.station, *write.area, write.element, std::move(write.items),
                     Clock::now() + kWriteDeadline, [what, log](const Outcome& outcome) {
                       if (outcome.exception == kNoException) return;
                       char code[8];
                       std::snprintf(code, sizeof code, "0x%02X", outcome.exception);
                       std::string why = outcome.failure != FailureKind::kNone ? FailureKindName(outcome.failure)
                                         : outcome.expired ? "the line was not free in time"
                                                           : std::string("exception ") + code;
                       log(what + " failed: " + why);
                     });
}

void MqttDoor::OnBlockRead(const BlockEvent& event) {
  node_->BlockRead(event.station, *event.area, event.first, event.words, Millis(event.time));
}

void MqttDoor::OnBlockFailed(const BlockEvent& event) {
  const uint32_t count = event.wordCount * (event.area->bits ? 16 : 1);
  node_->BlockFailed(event.station, *event.area, event.first, count);
}

void MqttDoor::OnDemoted(int station, FailureKind failure) {
  (void)failure;
  node_->Demoted(station);
}

void MqttDoor::OnPromoted(int station) { node_->Promoted(station); }

void MqttDoor::OnStationCycle(int station, bool good) { node_->StationCycle(station, good); }

}  // namespace kelgate
