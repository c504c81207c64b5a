// The Sparkplug B edge node: kelgate is the node, each station a device.
#include <cstring>

#include "gateway/mqtt_node.h"
#include "sparkplug_b.pb.h"

namespace kelgate {
namespace {

using org::eclipse::tahu::protobuf::DataType;
using Payload = org::eclipse::tahu::protobuf::Payload;
using PbMetric = org::eclipse::tahu::protobuf::Payload_Metric;

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kBdSeq = "bdSeq";
constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr uint64_t kBdSeqAlias = 1;
constexpr uint64_t kRebirthAlias = 2;

DataType DataTypeOf(MetricType type) {
  switch (type) {
    case MetricType::kBoolean:
      return org::eclipse::tahu::protobuf::Boolean;
    case MetricType::kInt16:
      return org::eclipse::tahu::protobuf::Int16;
    case MetricType::kUInt16:
      return org::eclipse::tahu::protobuf::UInt16;
    case MetricType::kInt32:
      return org::eclipse::tahu::protobuf::Int32;
    case MetricType::kFloat:
      return org::eclipse::tahu::protobuf::Float;
  }
  return org::eclipse::tahu::protobuf::Unknown;
}

// One device metric with its value; births add the name.
void FillMetric(PbMetric* out, const Metric& metric, bool withName, uint64_t nowMs) {
  if (withName) out->set_name(metric.name);
  out->set_alias(metric.alias);
  out->set_datatype(DataTypeOf(metric.type));
  if (!metric.Known()) {
    out->set_timestamp(nowMs);
    out->set_is_null(true);
    return;
  }
  out->set_timestamp(metric.changedMs);
  const uint32_t raw = metric.Raw();
  switch (metric.type) {
    case MetricType::kBoolean:
      out->set_boolean_value(raw != 0);
      break;
    case MetricType::kFloat: {
      float value;
      std::memcpy(&value, &raw, sizeof value);
      out->set_float_value(value);
      break;
    }
    default:
      out->set_int_value(raw);
      break;
  }
}

void AddString(Payload* payload, const char* name, uint64_t alias, const std::string& value, uint64_t nowMs) {
  PbMetric* m = payload->add_metrics();
  m->set_name(name);
  m->set_alias(alias);
  m->set_timestamp(nowMs);
  m->set_datatype(org::eclipse::tahu::protobuf::String);
  m->set_string_value(value);
}

// A command's value as it arrived, whichever field carries it.
bool CommandOf(const PbMetric& metric, CommandValue* value) {
  switch (metric.value_case()) {
    case PbMetric::kIntValue: {
      // Int8, Int16 and Int32 travel in two's complement.
      const uint32_t raw = metric.int_value();
      const uint32_t type = metric.datatype();
      value->kind = CommandValue::kInteger;
      value->integer = type == org::eclipse::tahu::protobuf::Int8 || type == org::eclipse::tahu::protobuf::Int16 ||
                               type == org::eclipse::tahu::protobuf::Int32
                           ? static_cast<int64_t>(static_cast<int32_t>(raw))
                           : static_cast<int64_t>(raw);
      return true;
    }
    case PbMetric::kLongValue:
      value->kind = CommandValue::kInteger;
      value->integer = metric.datatype() == org::eclipse::tahu::protobuf::Int64
                           ? static_cast<int64_t>(metric.long_value())
                           : static_cast<int64_t>(std::min<uint64_t>(metric.long_value(), INT64_MAX));
      return true;
    case PbMetric::kFloatValue:
      value->kind = CommandValue::kReal;
      value->real = metric.float_value();
      return true;
    case PbMetric::kDoubleValue:
      value->kind = CommandValue::kReal;
      value->real = metric.double_value();
      return true;
    case PbMetric::kBooleanValue:
      value->kind = CommandValue::kBool;
      value->flag = metric.boolean_value();
      return true;
    default:
      return false;
  }
}

}  // namespace

SparkplugNode::SparkplugNode(MqttNodeContext context, std::vector<Device> devices, SparkplugConfig config)
    : MqttNode(std::move(context), std::move(devices)), config_(std::move(config)) {}

std::string SparkplugNode::Topic(const char* type, const std::string& device) const {
  std::string topic = std::string(kNamespace) + "/" + config_.group + "/" + type + "/" + config_.node;
  if (!device.empty()) topic += "/" + device;
  return topic;
}

std::string SparkplugNode::Death() const {
  Payload payload;
  payload.set_timestamp(Now());
  PbMetric* m = payload.add_metrics();
  m->set_name(kBdSeq);
  m->set_timestamp(Now());
  m->set_datatype(org::eclipse::tahu::protobuf::UInt64);
  m->set_long_value(bdSeq_);
  return payload.SerializeAsString();
}

MqttMessage SparkplugNode::NextWill() {
  // Every connect carries a new bdSeq, so a consumer tells this session's
  // death from an older one's.
  bdSeq_ = nextBdSeq_;
  nextBdSeq_ = (nextBdSeq_ + 1) % 256;
  return {Topic("NDEATH"), Death(), 1, false};
}

MqttMessage SparkplugNode::Farewell() { return {Topic("NDEATH"), Death(), 1, false}; }

std::vector<std::string> SparkplugNode::Subscriptions() const { return {Topic("NCMD"), Topic("DCMD") + "/+"}; }

uint64_t SparkplugNode::NextSeq() {
  const uint64_t seq = seq_;
  seq_ = (seq_ + 1) % 256;
  return seq;
}

void SparkplugNode::OnConnected() {
  // Values that changed while the broker was away and were never published:
  // after the births they go out once more, flagged historical.
  std::vector<std::vector<Metric*>> missed(devices_.size());
  for (size_t i = 0; i < devices_.size(); ++i) {
    for (Metric& metric : devices_[i].metrics) {
      if (devices_[i].alive && metric.dirty && metric.everPublished) missed[i].push_back(&metric);
    }
  }
  Births();
  const uint64_t now = Now();
  for (size_t i = 0; i < devices_.size() && connected_; ++i) {
    if (missed[i].empty() || !devices_[i].born) continue;
    Payload payload;
    payload.set_timestamp(now);
    for (Metric* metric : missed[i]) {
      PbMetric* m = payload.add_metrics();
      FillMetric(m, *metric, false, now);
      m->set_is_historical(metric->changedMs < now);
    }
    payload.set_seq(NextSeq());
    if (!Publish({Topic("DDATA", devices_[i].id), payload.SerializeAsString(), 0, false})) connected_ = false;
  }
}

void SparkplugNode::Births() {
  seq_ = 0;
  Payload payload;
  const uint64_t now = Now();
  payload.set_timestamp(now);
  PbMetric* bd = payload.add_metrics();
  bd->set_name(kBdSeq);
  bd->set_alias(kBdSeqAlias);
  bd->set_timestamp(now);
  bd->set_datatype(org::eclipse::tahu::protobuf::UInt64);
  bd->set_long_value(bdSeq_);
  PbMetric* rebirth = payload.add_metrics();
  rebirth->set_name(kRebirth);
  rebirth->set_alias(kRebirthAlias);
  rebirth->set_timestamp(now);
  rebirth->set_datatype(org::eclipse::tahu::protobuf::Boolean);
  rebirth->set_boolean_value(false);
  payload.set_seq(NextSeq());
  if (!Publish({Topic("NBIRTH"), payload.SerializeAsString(), 0, false})) {
    connected_ = false;
    return;
  }
  for (Device& device : devices_) {
    if (device.alive && !PublishDeviceBirth(device)) return;
  }
}

bool SparkplugNode::PublishDeviceBirth(Device& device) {
  Payload payload;
  const uint64_t now = Now();
  payload.set_timestamp(now);
  AddString(&payload, "Properties/SNP ID", device.propertyAlias, device.info.snpId, now);
  AddString(&payload, "Properties/Protocol", device.propertyAlias + 1, device.info.protocol == Protocol::kSnpx ? "SNPX" : "SNP", now);
  for (const Metric& metric : device.metrics) FillMetric(payload.add_metrics(), metric, true, now);
  payload.set_seq(NextSeq());
  if (!Publish({Topic("DBIRTH", device.id), payload.SerializeAsString(), 0, false})) {
    connected_ = false;
    return false;
  }
  device.born = true;
  for (Metric& metric : device.metrics) {
    if (!metric.Known()) continue;
    metric.dirty = false;
    metric.everPublished = true;
  }
  return true;
}

bool SparkplugNode::PublishDeviceData(Device& device, bool historical) {
  Payload payload;
  const uint64_t now = Now();
  payload.set_timestamp(now);
  std::vector<Metric*> sent;
  for (Metric& metric : device.metrics) {
    if (!metric.dirty) continue;
    PbMetric* m = payload.add_metrics();
    FillMetric(m, metric, false, now);
    if (historical) m->set_is_historical(true);
    sent.push_back(&metric);
  }
  if (sent.empty()) return true;
  payload.set_seq(NextSeq());
  if (!Publish({Topic("DDATA", device.id), payload.SerializeAsString(), 0, false})) {
    connected_ = false;
    return false;
  }
  for (Metric* metric : sent) {
    metric->dirty = false;
    metric->everPublished = true;
  }
  return true;
}

void SparkplugNode::OnDemoted(Device& device) {
  if (!connected_ || !device.born) return;
  device.born = false;
  Payload payload;
  payload.set_timestamp(Now());
  payload.set_seq(NextSeq());
  if (!Publish({Topic("DDEATH", device.id), payload.SerializeAsString(), 0, false})) connected_ = false;
}

void SparkplugNode::OnCycle(Device& device, bool good) {
  if (!device.alive) {
    if (!good) return;
    device.alive = true;
  }
  if (!connected_) return;
  if (!device.born) {
    PublishDeviceBirth(device);
  } else {
    PublishDeviceData(device, false);
  }
}

void SparkplugNode::OnReceived(const std::string& topic, const std::string& bytes) {
  Payload payload;
  const bool node = topic == Topic("NCMD");
  const std::string dcmd = Topic("DCMD") + "/";
  const bool device = topic.compare(0, dcmd.size(), dcmd) == 0;
  if (!node && !device) return;
  if (!payload.ParseFromString(bytes)) {
    Log("MQTT " + std::string(node ? "NCMD" : "DCMD") + " ignored: the payload is no Sparkplug B payload");
    return;
  }
  if (node) {
    for (const PbMetric& m : payload.metrics()) {
      const bool rebirth = m.name() == kRebirth || (!m.has_name() && m.alias() == kRebirthAlias);
      if (rebirth && m.value_case() == PbMetric::kBooleanValue && m.boolean_value() && connected_) {
        Log("MQTT NCMD: rebirth");
        Births();
        return;
      }
    }
    return;
  }
  const std::string id = topic.substr(dcmd.size());
  Device* target = FindDeviceId(id);
  if (target == nullptr) {
    Log("MQTT DCMD for " + id + " ignored: no such device");
    return;
  }
  for (const PbMetric& m : payload.metrics()) {
    Metric* metric = m.has_name() ? target->Find(m.name()) : target->FindAlias(m.alias());
    const std::string name = m.has_name() ? m.name() : "alias " + std::to_string(m.alias());
    if (metric == nullptr) {
      Log("MQTT DCMD " + target->id + " " + name + " refused: no such metric");
      continue;
    }
    CommandValue value;
    if (!CommandOf(m, &value)) {
      Log("MQTT DCMD " + target->id + " " + name + " refused: no value");
      continue;
    }
    RequestWrite("DCMD", *target, *metric, value);
  }
}

}  // namespace kelgate
