#include "gateway/mqtt_node.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace kelgate {

MqttNode::MqttNode(MqttNodeContext context, std::vector<Device> devices)
    : context_(std::move(context)), devices_(std::move(devices)) {}

void MqttNode::Connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = true;
  OnConnected();
}

void MqttNode::Disconnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
  for (Device& device : devices_) device.born = false;
}

bool MqttNode::IsConnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

void MqttNode::Received(const std::string& topic, const std::string& payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  OnReceived(topic, payload);
}

void MqttNode::BlockRead(int station, const Area& area, uint32_t first, const std::vector<uint16_t>& words,
                         uint64_t timeMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Device* device = FindDevice(station)) ApplyRead(*device, area, first, words, timeMs);
}

void MqttNode::BlockFailed(int station, const Area& area, uint32_t first, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Device* device = FindDevice(station)) {
    device->cycleFailed = true;
    ApplyFailure(*device, area, first, count);
  }
}

void MqttNode::Demoted(int station) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = FindDevice(station);
  if (device == nullptr || device->demoted) return;
  device->demoted = true;
  device->alive = false;
  OnDemoted(*device);
}

void MqttNode::Promoted(int station) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Alive again after its next good cycle.
  if (Device* device = FindDevice(station)) device->demoted = false;
}

void MqttNode::StationCycle(int station, bool good) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = FindDevice(station);
  if (device == nullptr) return;
  good = good && !device->cycleFailed && !device->demoted;
  device->cycleFailed = false;
  OnCycle(*device, good);
}

void MqttNode::Tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  OnTick();
}

Device* MqttNode::FindDevice(int station) {
  for (Device& device : devices_) {
    if (device.info.number == station) return &device;
  }
  return nullptr;
}

Device* MqttNode::FindDeviceId(const std::string& id) {
  for (Device& device : devices_) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

void MqttNode::RequestWrite(const std::string& door, const Device& device, const Metric& metric,
                            const CommandValue& value) {
  MqttWrite write;
  write.what = "MQTT " + door + " " + device.id + " " + metric.name + " = " + value.Text();
  std::string why;
  if (!CommandWords(metric, value, &write.items, &why)) {
    Log(write.what + " refused: " + why);
    return;
  }
  if (metric.type == MetricType::kBoolean) write.items.resize(1);
  const Place place{metric.area, metric.element, static_cast<uint32_t>(write.items.size())};
  const WritePolicy* policy = context_.policy ? context_.policy() : nullptr;
  if (policy == nullptr || !policy->Allows(place)) {
    Log(write.what + " refused: not writable (allow_write)");
    return;
  }
  write.station = device.info.number;
  write.area = metric.area;
  write.element = metric.element;
  context_.write(std::move(write));
}

// JSON ------------------------------------------------------------------------

JsonNode::JsonNode(MqttNodeContext context, std::vector<Device> devices, JsonConfig config)
    : MqttNode(std::move(context), std::move(devices)), config_(std::move(config)) {}

MqttMessage JsonNode::NextWill() { return Farewell(); }

MqttMessage JsonNode::Farewell() { return {Base() + "/status", "offline", 1, true}; }

std::vector<std::string> JsonNode::Subscriptions() const { return {Base() + "/+/+/set"}; }

void JsonNode::OnConnected() {
  if (!Publish({Base() + "/status", "online", 1, true})) return;
  // The broker may have lost its retained messages: every topic again.
  for (Device& device : devices_) PublishDevice(device, true);
}

const char* JsonNode::QualityOf(const Device& device, const Metric& metric) const {
  if (device.demoted || metric.failed) return "bad";
  if (config_.maxAgeMs != 0 && Now() > metric.readMs + config_.maxAgeMs) return "stale";
  return "good";
}

void JsonNode::PublishDevice(Device& device, bool all) {
  if (!connected_) return;
  for (Metric& metric : device.metrics) {
    if (!metric.Known()) continue;
    const char* quality = QualityOf(device, metric);
    if (!all && !metric.dirty && metric.quality == quality) continue;
    std::string payload = "{\"value\": " + metric.Json() + ", \"timestamp\": " + std::to_string(metric.changedMs) +
                          ", \"quality\": \"" + quality + "\"}";
    if (!Publish({Base() + "/" + device.id + "/" + metric.name, std::move(payload), 1, true})) return;
    metric.dirty = false;
    metric.everPublished = true;
    metric.quality = quality;
  }
}

void JsonNode::OnDemoted(Device& device) { PublishDevice(device, false); }

void JsonNode::OnCycle(Device& device, bool good) {
  (void)good;
  PublishDevice(device, false);
}

void JsonNode::OnTick() {
  for (Device& device : devices_) PublishDevice(device, false);
}

void JsonNode::OnReceived(const std::string& topic, const std::string& payload) {
  // BASE/PLC01/NAME/set
  const std::string base = Base() + "/";
  const std::string suffix = "/set";
  if (topic.size() <= base.size() + suffix.size() || topic.compare(0, base.size(), base) != 0 ||
      topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return;
  }
  const std::string rest = topic.substr(base.size(), topic.size() - base.size() - suffix.size());
  const size_t slash = rest.find('/');
  Device* device = slash == std::string::npos ? nullptr : FindDeviceId(rest.substr(0, slash));
  Metric* metric = device ? device->Find(rest.substr(slash + 1)) : nullptr;
  if (metric == nullptr) {
    Log("MQTT set " + rest + " refused: no such metric");
    return;
  }
  CommandValue value;
  if (!ParseJsonCommand(payload, &value)) {
    Log("MQTT set " + device->id + " " + metric->name + " refused: the payload is no number, true or false");
    return;
  }
  RequestWrite("set", *device, *metric, value);
}

namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool ParseScalar(const std::string& text, CommandValue* value) {
  if (text == "true" || text == "false") {
    value->kind = CommandValue::kBool;
    value->flag = text == "true";
    return true;
  }
  if (text.empty() || text.size() > 40) return false;
  const std::string copy = text;  // strtoll and strtod need the terminator
  char* end = nullptr;
  errno = 0;
  const long long integer = std::strtoll(copy.c_str(), &end, 10);
  if (errno == 0 && end == copy.c_str() + copy.size()) {
    value->kind = CommandValue::kInteger;
    value->integer = integer;
    return true;
  }
  errno = 0;
  const double real = std::strtod(copy.c_str(), &end);
  if (errno != 0 || end != copy.c_str() + copy.size() || !(copy[0] == '-' || std::isdigit(static_cast<unsigned char>(copy[0])))) {
    return false;
  }
  value->kind = CommandValue::kReal;
  value->real = real;
  return true;
}

}  // namespace

bool ParseJsonCommand(const std::string& payload, CommandValue* value) {
  const std::string text = Trim(payload);
  if (text.empty() || text[0] != '{') return ParseScalar(text, value);
  // {"value": SCALAR} and nothing else.
  if (text.back() != '}') return false;
  const std::string inner = Trim(text.substr(1, text.size() - 2));
  const std::string key = "\"value\"";
  if (inner.compare(0, key.size(), key) != 0) return false;
  const std::string rest = Trim(inner.substr(key.size()));
  if (rest.empty() || rest[0] != ':') return false;
  return ParseScalar(Trim(rest.substr(1)), value);
}

}  // namespace kelgate
