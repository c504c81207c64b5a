// The scanned elements as the MQTT publisher names them: per station a list of
// metrics (one PLC element, or two words for 32-bit values) with their latest
// value, the time of the read that brought it, and what has been published.
// Plain data and rules: no sockets, no driver, no clock of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/mapping.h"
#include "gateway/scan_config.h"

namespace kelgate {

// Sparkplug's names for the values of a scan group: Boolean for a bit area,
// the group's type for a word area.
enum class MetricType { kBoolean, kInt16, kUInt16, kInt32, kFloat };

// "Boolean", "Int16", "UInt16", "Int32", "Float".
const char* MetricTypeName(MetricType type);

struct Metric {
  std::string name;
  MetricType type = MetricType::kUInt16;
  const Area* area = nullptr;
  uint32_t element = 1;  // first element, 1-based
  uint64_t alias = 0;

  // The latest value: its words (low word first) as far as reads brought them.
  uint16_t words[2] = {0, 0};
  uint8_t seen = 0;         // bit n: words[n] has been read
  uint64_t changedMs = 0;   // wall-clock time of the read that brought the value
  uint64_t readMs = 0;      // wall-clock time of the last good read of it
  bool failed = false;      // the last read of it failed

  // What consumers have: set when a message carrying the value went out.
  bool dirty = false;       // the value differs from the one last published
  bool everPublished = false;
  const char* quality = nullptr;  // the quality last published (JSON)

  uint32_t Words() const { return type == MetricType::kInt32 || type == MetricType::kFloat ? 2 : 1; }
  bool Known() const { return seen == (Words() == 2 ? 3 : 1); }
  // The value as Sparkplug carries it in a 32-bit field: Int16 and Int32 in
  // two's complement, Float as its bit pattern, Boolean as 0 or 1.
  uint32_t Raw() const;
  // The value as JSON text: a number, true or false, or null when unknown or
  // not a finite number.
  std::string Json() const;
};

// A station's metrics, in the order of the groups that define them.
struct Device {
  StationInfo info;
  std::string id;  // "PLC01"
  std::vector<Metric> metrics;
  uint64_t propertyAlias = 0;  // Properties/SNP ID; Properties/Protocol is the next one

  // The station as the publisher has seen it: alive after a good scan cycle
  // until it is demoted; born while consumers hold its birth.
  bool alive = false;
  bool born = false;
  bool demoted = false;
  bool cycleFailed = false;

  Metric* Find(const std::string& name);
  Metric* FindAlias(uint64_t alias);
};

// The default metric name of one element: "%R00001", "%AI00010", "%M00017".
std::string ReferenceName(const Area& area, uint32_t element);
// "PLC" and the station number in two digits.
std::string DeviceId(int station);

// Builds one Device per station with a group, and numbers the aliases from
// `firstAlias` on across every device (two more per device for its
// properties). A group without a name names each value by the PLC reference
// of its first element; a named group holding one value names it NAME, one
// holding more NAME[0], NAME[1], ... False, with the reason in *error, for a
// range that holds no whole number of values, or a name used twice on one
// station.
bool BuildDevices(const std::vector<ScanGroup>& groups, const std::vector<StationInfo>& stations,
                  uint64_t firstAlias, std::vector<Device>* devices, std::string* error);

// Takes a good block read into the metrics it covers: words of a word area,
// or 16 bits per word of a bit area (element `first` in bit 0 of the first
// word). A metric whose value changes gets the read's time and is marked
// dirty. True when any value changed.
bool ApplyRead(Device& device, const Area& area, uint32_t first, const std::vector<uint16_t>& words,
               uint64_t timeMs);
// Marks the metrics of a failed read of up to `count` elements from `first`.
void ApplyFailure(Device& device, const Area& area, uint32_t first, uint32_t count);

// A value a consumer asks to write, as it arrived.
struct CommandValue {
  enum Kind { kInteger, kReal, kBool } kind = kInteger;
  int64_t integer = 0;
  double real = 0;
  bool flag = false;
  std::string Text() const;
};

// The words (or 0/1 bits) that write `value` to the metric; false with the
// reason in *why when the value does not fit the metric's type.
bool CommandWords(const Metric& metric, const CommandValue& value, std::vector<uint16_t>* words, std::string* why);

}  // namespace kelgate
