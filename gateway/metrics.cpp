#include "gateway/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

namespace kelgate {

const char* MetricTypeName(MetricType type) {
  switch (type) {
    case MetricType::kBoolean:
      return "Boolean";
    case MetricType::kInt16:
      return "Int16";
    case MetricType::kUInt16:
      return "UInt16";
    case MetricType::kInt32:
      return "Int32";
    case MetricType::kFloat:
      return "Float";
  }
  return "?";
}

uint32_t Metric::Raw() const {
  switch (type) {
    case MetricType::kBoolean:
      return words[0] != 0 ? 1 : 0;
    case MetricType::kInt16:
      return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(words[0])));
    case MetricType::kUInt16:
      return words[0];
    case MetricType::kInt32:
    case MetricType::kFloat:
      return static_cast<uint32_t>(words[0]) | static_cast<uint32_t>(words[1]) << 16;
  }
  return 0;
}

std::string Metric::Json() const {
  if (!Known()) return "null";
  const uint32_t raw = Raw();
  char text[32];
  switch (type) {
    case MetricType::kBoolean:
      return raw ? "true" : "false";
    case MetricType::kInt16:
    case MetricType::kInt32:
      std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(raw));
      return text;
    case MetricType::kUInt16:
      std::snprintf(text, sizeof text, "%u", raw);
      return text;
    case MetricType::kFloat: {
      float value;
      std::memcpy(&value, &raw, sizeof value);
      if (!std::isfinite(value)) return "null";
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
      return text;
    }
  }
  return "null";
}

Metric* Device::Find(const std::string& name) {
  for (Metric& metric : metrics) {
    if (metric.name == name) return &metric;
  }
  return nullptr;
}

Metric* Device::FindAlias(uint64_t alias) {
  for (Metric& metric : metrics) {
    if (metric.alias == alias) return &metric;
  }
  return nullptr;
}

std::string ReferenceName(const Area& area, uint32_t element) {
  char text[24];
  std::snprintf(text, sizeof text, "%%%s%05u", area.name, element);
  return text;
}

std::string DeviceId(int station) {
  char text[16];
  std::snprintf(text, sizeof text, "PLC%02d", station);
  return text;
}

namespace {

std::string GroupText(const ScanGroup& group) {
  char text[64];
  std::snprintf(text, sizeof text, "%s:%s:%u-%u",
                group.station == kAllStations ? "*" : std::to_string(group.station).c_str(),
                group.area ? group.area->name : "?", group.first, group.last);
  return text;
}

MetricType TypeOf(const ScanGroup& group) {
  if (group.area->bits) return MetricType::kBoolean;
  switch (group.type) {
    case ValueType::kUint16:
      return MetricType::kUInt16;
    case ValueType::kInt16:
      return MetricType::kInt16;
    case ValueType::kInt32:
      return MetricType::kInt32;
    case ValueType::kFloat:
      return MetricType::kFloat;
  }
  return MetricType::kUInt16;
}

// The metrics one group gives one station.
bool GroupMetrics(const ScanGroup& group, std::vector<Metric>* out, std::string* error) {
  if (group.area == nullptr || group.first == 0 || group.last < group.first) {
    *error = "scan group " + GroupText(group) + ": no area or no elements";
    return false;
  }
  const MetricType type = TypeOf(group);
  const uint32_t span = group.last - group.first + 1;
  const uint32_t words = type == MetricType::kInt32 || type == MetricType::kFloat ? 2 : 1;
  if (span % words != 0) {
    *error = "scan group " + GroupText(group) + ": " + MetricTypeName(type) +
             " values take two words each, the range holds an odd number";
    return false;
  }
  const uint32_t values = span / words;
  for (uint32_t i = 0; i < values; ++i) {
    Metric metric;
    metric.type = type;
    metric.area = group.area;
    metric.element = group.first + i * words;
    if (group.name.empty()) {
      metric.name = ReferenceName(*group.area, metric.element);
    } else {
      metric.name = values == 1 ? group.name : group.name + "[" + std::to_string(i) + "]";
    }
    out->push_back(metric);
  }
  return true;
}

}  // namespace

bool BuildDevices(const std::vector<ScanGroup>& groups, const std::vector<StationInfo>& stations,
                  uint64_t firstAlias, std::vector<Device>* devices, std::string* error) {
  devices->clear();
  uint64_t alias = firstAlias;
  for (const StationInfo& station : stations) {
    Device device;
    device.info = station;
    device.id = DeviceId(station.number);
    std::set<std::string> names;
    for (const ScanGroup& group : groups) {
      if (!group.Covers(station.number)) continue;
      std::vector<Metric> metrics;
      if (!GroupMetrics(group, &metrics, error)) return false;
      for (Metric& metric : metrics) {
        // Unnamed groups may cover the same elements: one metric per name.
        if (!names.insert(metric.name).second) {
          if (group.name.empty()) continue;
          *error = "scan group " + GroupText(group) + ": the name \"" + metric.name + "\" is used twice on station " +
                   std::to_string(station.number);
          return false;
        }
        metric.alias = alias++;
        device.metrics.push_back(metric);
      }
    }
    if (device.metrics.empty()) continue;
    device.propertyAlias = alias;
    alias += 2;
    devices->push_back(std::move(device));
  }
  return true;
}

bool ApplyRead(Device& device, const Area& area, uint32_t first, const std::vector<uint16_t>& words,
               uint64_t timeMs) {
  const uint64_t count = area.bits ? words.size() * 16 : words.size();
  bool changed = false;
  for (Metric& metric : device.metrics) {
    if (metric.area != &area) continue;
    const uint32_t before = metric.Raw();
    const bool wasKnown = metric.Known();
    bool touched = false;
    for (uint32_t w = 0; w < metric.Words(); ++w) {
      const uint64_t element = metric.element + w;
      if (element < first || element - first >= count) continue;
      const uint64_t offset = element - first;
      metric.words[w] = area.bits ? static_cast<uint16_t>((words[offset / 16] >> (offset % 16)) & 1) : words[offset];
      metric.seen |= static_cast<uint8_t>(1u << w);
      touched = true;
    }
    if (!touched) continue;
    metric.readMs = timeMs;
    metric.failed = false;
    if (metric.Known() && (!wasKnown || metric.Raw() != before)) {
      metric.changedMs = timeMs;
      metric.dirty = true;
      changed = true;
    }
  }
  return changed;
}

void ApplyFailure(Device& device, const Area& area, uint32_t first, uint32_t count) {
  const uint64_t end = static_cast<uint64_t>(first) + count;
  for (Metric& metric : device.metrics) {
    if (metric.area == &area && metric.element < end && metric.element + metric.Words() > first) metric.failed = true;
  }
}

std::string CommandValue::Text() const {
  char text[40];
  switch (kind) {
    case kBool:
      return flag ? "true" : "false";
    case kInteger:
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(integer));
      return text;
    case kReal:
      std::snprintf(text, sizeof text, "%.9g", real);
      return text;
  }
  return "?";
}

bool CommandWords(const Metric& metric, const CommandValue& value, std::vector<uint16_t>* words, std::string* why) {
  words->clear();
  if (metric.type == MetricType::kFloat) {
    if (value.kind == CommandValue::kBool) {
      *why = "Float metric, not a number";
      return false;
    }
    const double real = value.kind == CommandValue::kReal ? value.real : static_cast<double>(value.integer);
    if (!std::isfinite(real) || std::fabs(real) > std::numeric_limits<float>::max()) {
      *why = "out of the range of Float";
      return false;
    }
    const float f = static_cast<float>(real);
    uint32_t raw;
    std::memcpy(&raw, &f, sizeof raw);
    *words = {static_cast<uint16_t>(raw & 0xFFFF), static_cast<uint16_t>(raw >> 16)};
    return true;
  }
  int64_t integer = 0;
  if (value.kind == CommandValue::kBool) {
    if (metric.type != MetricType::kBoolean) {
      *why = std::string(MetricTypeName(metric.type)) + " metric, not a number";
      return false;
    }
    integer = value.flag ? 1 : 0;
  } else if (value.kind == CommandValue::kReal) {
    if (!(std::trunc(value.real) == value.real) || std::fabs(value.real) > 4e18) {
      *why = std::string(MetricTypeName(metric.type)) + " metric, not a whole number";
      return false;
    }
    integer = static_cast<int64_t>(value.real);
  } else {
    integer = value.integer;
  }
  int64_t min = 0, max = 0;
  switch (metric.type) {
    case MetricType::kBoolean:
      max = 1;
      break;
    case MetricType::kInt16:
      min = INT16_MIN;
      max = INT16_MAX;
      break;
    case MetricType::kUInt16:
      max = UINT16_MAX;
      break;
    case MetricType::kInt32:
      min = INT32_MIN;
      max = INT32_MAX;
      break;
    case MetricType::kFloat:
      break;
  }
  if (integer < min || integer > max) {
    *why = std::string("out of the range of ") + MetricTypeName(metric.type);
    return false;
  }
  const uint32_t raw = static_cast<uint32_t>(integer);
  words->push_back(static_cast<uint16_t>(raw & 0xFFFF));
  if (metric.Words() == 2) words->push_back(static_cast<uint16_t>(raw >> 16));
  return true;
}

}  // namespace kelgate
