// The MQTT door: the scan engine's reads published to a broker (Sparkplug B or
// JSON), and consumers' writes handed to the engine under its write policy.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/mqtt_client.h"
#include "gateway/mqtt_config.h"
#include "gateway/mqtt_node.h"
#include "gateway/scan_engine.h"
#include "gateway/status.h"

namespace kelgate {

class MqttDoor : public ScanListener {
 public:
  // The node for the engine's stations and scan groups; nullptr, with the
  // reason in *error, when the groups cannot be published (a type that does
  // not fit its range, a name used twice).
  static std::shared_ptr<MqttDoor> Create(const MqttConfig& config, ScanEngine& engine,
                                          std::function<void(const std::string&)> log, std::string* error);
  ~MqttDoor() override;

  // Starts the broker connection; false with the reason in *error.
  bool Start(std::string* error);
  // Says goodbye to the broker and stops.
  void Stop();
  // For the status page and metrics.
  MqttCounters Counters();

  void OnBlockRead(const BlockEvent& event) override;
  void OnBlockFailed(const BlockEvent& event) override;
  void OnDemoted(int station, FailureKind failure) override;
  void OnPromoted(int station) override;
  void OnStationCycle(int station, bool good) override;

 private:
  MqttDoor(const MqttConfig& config, ScanEngine& engine, std::function<void(const std::string&)> log);
  void Write(MqttWrite write);

  MqttConfig config_;
  ScanEngine& engine_;
  std::function<void(const std::string&)> log_;
  std::unique_ptr<MqttClient> client_;
  std::unique_ptr<MqttNode> node_;
  // Lets data age into staleness between the engine's reports.
  std::thread ticker_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace kelgate
