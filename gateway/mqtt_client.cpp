#include "gateway/mqtt_client.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace kelgate {
namespace {

std::once_flag g_libraryInit;

// How long the farewell may take to leave before the socket closes.
constexpr auto kFarewellTime = std::chrono::seconds(2);

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

}  // namespace

MqttClient::MqttClient(MqttConfig config, std::function<void(const std::string&)> log)
    : config_(std::move(config)), log_(std::move(log)) {}

MqttClient::~MqttClient() {
  Stop();
  if (mosq_) mosquitto_destroy(mosq_);
}

std::string MqttClient::Broker() const { return config_.host + ":" + std::to_string(config_.port); }

bool MqttClient::Start(MqttNode* node, std::string* error) {
  std::call_once(g_libraryInit, [] { mosquitto_lib_init(); });
  node_ = node;
  mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    *error = "MQTT: cannot create the client: " + std::string(std::strerror(errno));
    return false;
  }
  // Other threads publish while this client's own thread runs the loop.
  mosquitto_threaded_set(mosq_, true);
  mosquitto_connect_callback_set(mosq_, OnConnect);
  mosquitto_message_callback_set(mosq_, OnMessage);
  mosquitto_log_callback_set(mosq_, OnLog);
  int rc = MOSQ_ERR_SUCCESS;
  if (!config_.username.empty()) {
    rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                   config_.passwordFile.empty() ? nullptr : config_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !config_.caFile.empty()) {
    rc = mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr,
                           config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                           config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "MQTT: cannot use the settings of [mqtt]: " + ErrorText(rc);
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void MqttClient::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool MqttClient::Publish(const MqttMessage& message) {
  const bool handed = mosquitto_publish(mosq_, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                        message.payload.data(), message.qos, message.retain) == MOSQ_ERR_SUCCESS;
  if (handed) ++published_;
  return handed;
}

void MqttClient::Failed(const std::string& reason) {
  // A broker that keeps refusing gets one line, not one per attempt.
  if (reason == lastFailure_) return;
  lastFailure_ = reason;
  log_("MQTT: no connection to " + Broker() + ": " + reason + "; retrying, at most every " +
       std::to_string(backoff_.last.count() / 1000) + " s");
}

std::string MqttClient::Reason(int rc) {
  std::string reason = ErrorText(rc);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!lastLibraryError_.empty()) reason += " (" + lastLibraryError_ + ")";
  return reason;
}

void MqttClient::Wait(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void MqttClient::Run() {
  std::chrono::milliseconds delay{0};
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    if (Session()) delay = std::chrono::milliseconds{0};
    delay = backoff_.Next(delay);
    Wait(delay);
  }
}

// One connection attempt and, when the broker accepts it, the session until
// it ends. True when a session was up.
bool MqttClient::Session() {
  const MqttMessage will = node_->NextWill();
  mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(), will.qos,
                     will.retain);
  up_ = false;
  refused_ = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastLibraryError_.clear();
  }
  int rc = mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepaliveS);
  if (rc != MOSQ_ERR_SUCCESS) {
    Failed(Reason(rc));
    return false;
  }
  bool wasUp = false;
  bool farewell = false;
  std::chrono::steady_clock::time_point farewellDeadline{};
  for (;;) {
    rc = mosquitto_loop(mosq_, 100, 1);
    wasUp = wasUp || up_;
    if (rc != MOSQ_ERR_SUCCESS) break;
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = stopping_;
    }
    if (stopping && !farewell) {
      // An orderly end: the node's death goes out before the disconnect,
      // since the broker drops the will of a client that says goodbye.
      farewell = true;
      farewellDeadline = std::chrono::steady_clock::now() + kFarewellTime;
      if (up_) {
        node_->Disconnected();
        Publish(node_->Farewell());
      }
      mosquitto_disconnect(mosq_);
    } else if (farewell && std::chrono::steady_clock::now() > farewellDeadline) {
      break;
    }
  }
  if (up_) node_->Disconnected();
  up_ = false;
  if (refused_ != 0) {
    Failed(mosquitto_connack_string(refused_));
  } else if (wasUp && !farewell) {
    lastFailure_.clear();
    log_("MQTT: connection to " + Broker() + " lost (" + ErrorText(rc) + "); reconnecting");
  } else if (!wasUp && !farewell) {
    Failed(Reason(rc));
  }
  if (farewell) mosquitto_disconnect(mosq_);
  return wasUp;
}

void MqttClient::OnConnect(mosquitto* mosq, void* self, int rc) {
  auto* client = static_cast<MqttClient*>(self);
  if (rc != 0) {
    client->refused_ = rc;
    mosquitto_disconnect(mosq);
    return;
  }
  client->up_ = true;
  client->lastFailure_.clear();
  for (const std::string& topic : client->node_->Subscriptions()) {
    mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1);
  }
  client->log_("MQTT: connected to " + client->Broker() + " as " + client->config_.clientId);
  client->node_->Connected();
}

void MqttClient::OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message) {
  (void)mosq;
  auto* client = static_cast<MqttClient*>(self);
  if (message->topic == nullptr) return;
  std::string payload;
  if (message->payload != nullptr && message->payloadlen > 0) {
    payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  }
  client->node_->Received(message->topic, payload);
}

void MqttClient::OnLog(mosquitto* mosq, void* self, int level, const char* text) {
  (void)mosq;
  // libmosquitto tells the details of a TLS failure only here.
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  auto* client = static_cast<MqttClient*>(self);
  std::lock_guard<std::mutex> lock(client->mutex_);
  client->lastLibraryError_ = text;
}

}  // namespace kelgate
