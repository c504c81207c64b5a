// The broker connection, over Debian's libmosquitto: one thread connects with
// the node's will (TLS and a password when configured), subscribes, tells the
// node, runs the connection, and on any loss reconnects with a capped backoff
// and a new will. A refused or failed connection is logged once per distinct
// reason; the thread keeps trying until Stop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/mqtt_config.h"
#include "gateway/mqtt_node.h"

struct mosquitto;
struct mosquitto_message;

namespace kelgate {

// Reconnect waits: from the first, doubled after every failed attempt up to
// the last; back to the first once a session was up.
struct Backoff {
  std::chrono::milliseconds first{500};
  std::chrono::milliseconds last{30000};
  std::chrono::milliseconds Next(std::chrono::milliseconds current) const {
    return current < first ? first : std::min(current * 2, last);
  }
};

class MqttClient : public MqttPublisher {
 public:
  MqttClient(MqttConfig config, std::function<void(const std::string&)> log);
  ~MqttClient() override;
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Sets the connection up and starts its thread; false with the reason in
  // *error when libmosquitto refuses the settings (a TLS file it cannot use).
  bool Start(MqttNode* node, std::string* error);
  // Says goodbye (the node's farewell) when connected, disconnects, and ends
  // the thread.
  void Stop();

  bool Publish(const MqttMessage& message) override;
  // Messages handed to the broker so far.
  uint64_t Published() const { return published_; }

  // "HOST:PORT".
  std::string Broker() const;

 private:
  void Run();
  bool Session();
  void Failed(const std::string& reason);
  // libmosquitto's error, with its last error line when it logged one.
  std::string Reason(int rc);
  void Wait(std::chrono::milliseconds delay);
  static void OnConnect(mosquitto* mosq, void* self, int rc);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

  MqttConfig config_;
  std::function<void(const std::string&)> log_;
  MqttNode* node_ = nullptr;
  mosquitto* mosq_ = nullptr;
  Backoff backoff_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<uint64_t> published_{0};
  // Touched by the connection's thread only.
  bool up_ = false;
  int refused_ = 0;             // the broker's CONNACK code when it refused
  std::string lastFailure_;     // the reason last logged
  std::string lastLibraryError_;  // libmosquitto's last error line (TLS details), under mutex_
};

}  // namespace kelgate
