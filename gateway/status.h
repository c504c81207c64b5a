// How the line is doing, as the HTTP door shows it: the scan engine's
// counters, the serial device's state and the MQTT publisher's counts,
// formatted as Prometheus text (/metrics) and as JSON (/api/stations).
// Pure functions of a report, so tests check the text without a server.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "gateway/scan_engine.h"

namespace kelgate {

// What the MQTT publisher tells the other doors. All zero (and not
// enabled) when kelgate runs without MQTT.
struct MqttCounters {
  bool enabled = false;
  bool connected = false;
  uint64_t published = 0;  // messages handed to the broker
};

// The serial device under the line.
struct DeviceState {
  std::string port;    // as configured: "ttyUSB0", "pts/7"
  int board = 0;
  bool open = true;    // false while the device is gone and being reopened
  uint64_t losses = 0; // times the device vanished
};

struct StatusReport {
  EngineSnapshot engine;
  DeviceState device;
  MqttCounters mqtt;
  std::set<int> scanned;  // stations some scan group covers
  uint32_t maxAgeMs = kDefaultMaxAgeMs;
};

// The report of the engine as it is now.
StatusReport CollectStatus(const ScanEngine& engine, const DeviceState& device, const MqttCounters& mqtt);

// A station's state in one word: "demoted"; "stale" when its oldest scanned
// data is older than the age limit or it has none yet; "good" when scanned
// and fresh; "unscanned" for a station no group covers (only the doors'
// requests reach it).
const char* StationState(const StatusReport& report, const StationCounters& station);

// The Prometheus text exposition (version 0.0.4).
std::string PrometheusText(const StatusReport& report);

// {"device": ..., "line": ..., "clients": ..., "mqtt": ..., "stations": [...]}
std::string StationsJson(const StatusReport& report);

}  // namespace kelgate
