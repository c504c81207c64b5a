// What kelgate publishes to an MQTT broker, as pure state machines: the
// Sparkplug B edge node and the plain JSON topics. They are told what the
// scan engine read and when the broker connection comes and goes, and hand
// their messages to a Publisher; they open no socket and have no clock of
// their own, so tests drive them with a fake publisher and a fake clock.
//
// Every public call locks the node: the line's thread reports reads, the MQTT
// client's thread reports connections and commands.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/mapping.h"
#include "gateway/metrics.h"

namespace kelgate {

struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
};

class MqttPublisher {
 public:
  virtual ~MqttPublisher() = default;
  // False when the message could not be handed to the broker (no connection).
  virtual bool Publish(const MqttMessage& message) = 0;
};

// A write a consumer asked for and the write policy allows: items are
// registers, or bits as 0/1. `what` names it in log lines.
struct MqttWrite {
  int station = 0;
  const Area* area = nullptr;
  uint32_t element = 0;
  std::vector<uint16_t> items;
  std::string what;
};

struct MqttNodeContext {
  MqttPublisher* publisher = nullptr;
  std::function<const WritePolicy*()> policy;         // the one in force (a reload replaces it)
  std::function<void(MqttWrite)> write;               // runs an allowed write (must not block)
  std::function<void(const std::string&)> log;
  std::function<uint64_t()> clock;                    // wall clock, ms since the epoch
};

class MqttNode {
 public:
  MqttNode(MqttNodeContext context, std::vector<Device> devices);
  virtual ~MqttNode() = default;
  MqttNode(const MqttNode&) = delete;
  MqttNode& operator=(const MqttNode&) = delete;

  // The will of the next connection attempt.
  virtual MqttMessage NextWill() = 0;
  // What the client subscribes to on every connect, before Connected.
  virtual std::vector<std::string> Subscriptions() const = 0;
  // The message that says goodbye before an orderly disconnect.
  virtual MqttMessage Farewell() = 0;

  void Connected();
  void Disconnected();
  void Received(const std::string& topic, const std::string& payload);

  // From the scan engine (times in ms since the epoch).
  void BlockRead(int station, const Area& area, uint32_t first, const std::vector<uint16_t>& words, uint64_t timeMs);
  void BlockFailed(int station, const Area& area, uint32_t first, uint32_t count);
  void Demoted(int station);
  void Promoted(int station);
  void StationCycle(int station, bool good);
  // Called now and then: lets data age into staleness.
  void Tick();

  bool IsConnected();

 protected:
  // Hooks, each called with the node locked.
  virtual void OnConnected() = 0;
  virtual void OnReceived(const std::string& topic, const std::string& payload) = 0;
  virtual void OnDemoted(Device& device) = 0;
  virtual void OnCycle(Device& device, bool good) = 0;
  virtual void OnTick() {}

  Device* FindDevice(int station);
  Device* FindDeviceId(const std::string& id);
  bool Publish(const MqttMessage& message) { return context_.publisher->Publish(message); }
  uint64_t Now() const { return context_.clock(); }
  void Log(const std::string& line) const { context_.log(line); }
  // Checks a consumer's write against the metric's type and the write
  // policy; logs a refusal, else hands the write on.
  void RequestWrite(const std::string& door, const Device& device, const Metric& metric, const CommandValue& value);

  MqttNodeContext context_;
  std::vector<Device> devices_;
  bool connected_ = false;

 private:
  std::mutex mutex_;
};

struct SparkplugConfig {
  std::string group = "kelgate";
  std::string node;
};

// Sparkplug B: NBIRTH/NDEATH for kelgate, DBIRTH/DDATA/DDEATH per station.
class SparkplugNode : public MqttNode {
 public:
  // Node metrics have aliases 1 (bdSeq) and 2 (Node Control/Rebirth); the
  // devices' aliases start at kFirstDeviceAlias.
  static constexpr uint64_t kFirstDeviceAlias = 3;
  SparkplugNode(MqttNodeContext context, std::vector<Device> devices, SparkplugConfig config);

  MqttMessage NextWill() override;
  std::vector<std::string> Subscriptions() const override;
  MqttMessage Farewell() override;

  // "spBv1.0/GROUP/TYPE/NODE[/DEVICE]".
  std::string Topic(const char* type, const std::string& device = "") const;

 protected:
  void OnConnected() override;
  void OnReceived(const std::string& topic, const std::string& payload) override;
  void OnDemoted(Device& device) override;
  void OnCycle(Device& device, bool good) override;

 private:
  void Births();
  bool PublishDeviceBirth(Device& device);
  bool PublishDeviceData(Device& device, bool historical);
  std::string Death() const;
  uint64_t NextSeq();

  SparkplugConfig config_;
  uint64_t nextBdSeq_ = 0;
  uint64_t bdSeq_ = 0;
  uint64_t seq_ = 0;
};

struct JsonConfig {
  std::string prefix = "kelgate";
  std::string node;
  uint32_t maxAgeMs = 0;  // data older than this is stale
};

// Plain JSON: one retained topic per metric, PREFIX/NODE/PLC01/NAME, with
// {"value": V, "timestamp": MS, "quality": "good"|"stale"|"bad"}; writes on
// PREFIX/NODE/PLC01/NAME/set; PREFIX/NODE/status says "online" or "offline".
class JsonNode : public MqttNode {
 public:
  JsonNode(MqttNodeContext context, std::vector<Device> devices, JsonConfig config);

  MqttMessage NextWill() override;
  std::vector<std::string> Subscriptions() const override;
  MqttMessage Farewell() override;

 protected:
  void OnConnected() override;
  void OnReceived(const std::string& topic, const std::string& payload) override;
  void OnDemoted(Device& device) override;
  void OnCycle(Device& device, bool good) override;
  void OnTick() override;

 private:
  // Publishes the metrics whose value or quality changed (all with `all`).
  void PublishDevice(Device& device, bool all);
  const char* QualityOf(const Device& device, const Metric& metric) const;
  std::string Base() const { return config_.prefix + "/" + config_.node; }

  JsonConfig config_;
};

// A JSON write's payload: a number, true or false, or {"value": ...}.
bool ParseJsonCommand(const std::string& payload, CommandValue* value);

}  // namespace kelgate
