#include "gateway/status.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kelgate {
namespace {

// Shortest text that reads back as the same double; integers without a
// fraction. Both formats accept it.
std::string Number(double value) {
  if (!std::isfinite(value)) return value != value ? "NaN" : value > 0 ? "+Inf" : "-Inf";
  char text[32];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  const auto written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

std::string Hex(uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

// Label values may hold any text: backslash, quote and newline are escaped.
std::string LabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string JsonString(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Writes metric families: each family's HELP and TYPE once, then its samples.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    text_ += name_;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + Number(value) + "\n";
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

std::string StationLabels(const StationInfo& info) {
  return "station=\"" + std::to_string(info.number) + "\",snp_id=\"" + LabelValue(info.snpId) + "\",protocol=\"" +
         ProtocolName(info.protocol) + "\"";
}

// The failure kinds a station's failures are counted by, every one listed so
// that a rate over a kind that has not happened yet is zero, not absent.
constexpr FailureKind kFailureKinds[] = {FailureKind::kNoResponse, FailureKind::kChecksum, FailureKind::kNak,
                                         FailureKind::kPlcError,   FailureKind::kNotAttached, FailureKind::kRefused,
                                         FailureKind::kOther};

uint64_t CountOf(const std::map<FailureKind, uint64_t>& counts, FailureKind kind) {
  const auto it = counts.find(kind);
  return it == counts.end() ? 0 : it->second;
}

}  // namespace

StatusReport CollectStatus(const ScanEngine& engine, const DeviceState& device, const MqttCounters& mqtt) {
  StatusReport report;
  report.engine = engine.Snapshot();
  report.device = device;
  report.mqtt = mqtt;
  const ScanConfig& config = engine.Config();
  report.maxAgeMs = config.maxAgeMs;
  for (const StationInfo& info : engine.Stations()) {
    for (const ScanGroup& group : config.groups) {
      if (group.Covers(info.number)) report.scanned.insert(info.number);
    }
  }
  return report;
}

const char* StationState(const StatusReport& report, const StationCounters& station) {
  if (station.demoted) return "demoted";
  if (report.scanned.count(station.info.number) == 0) return "unscanned";
  if (!station.dataAgeMs || *station.dataAgeMs > report.maxAgeMs) return "stale";
  return "good";
}

std::string PrometheusText(const StatusReport& report) {
  const EngineSnapshot& e = report.engine;
  Exposition out;
  struct StationMetric {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const StationCounters&);
  };
  static const StationMetric kStationMetrics[] = {
      {"kelgate_station_block_reads_total", "counter", "Scan block reads made, good or not.",
       [](const StationCounters& s) { return static_cast<double>(s.blockReads); }},
      {"kelgate_station_cycles_total", "counter", "Scan passes over the station.",
       [](const StationCounters& s) { return static_cast<double>(s.cycles); }},
      {"kelgate_station_requests_total", "counter", "Requests of the doors that reached the line.",
       [](const StationCounters& s) { return static_cast<double>(s.requests); }},
      {"kelgate_station_demotions_total", "counter", "Times the station was demoted.",
       [](const StationCounters& s) { return static_cast<double>(s.demotions); }},
      {"kelgate_station_demoted", "gauge", "1 while the station is demoted.",
       [](const StationCounters& s) { return s.demoted ? 1.0 : 0.0; }},
      {"kelgate_station_demoted_seconds_total", "counter", "Time spent demoted.",
       [](const StationCounters& s) { return s.demotedSeconds; }},
      {"kelgate_station_rejected_total", "counter", "Requests answered 0x0B at once while demoted.",
       [](const StationCounters& s) { return static_cast<double>(s.rejected); }},
  };
  for (const StationMetric& metric : kStationMetrics) {
    out.Family(metric.name, metric.type, metric.help);
    for (const StationCounters& s : e.stations) out.Sample(StationLabels(s.info), metric.value(s));
  }
  out.Family("kelgate_station_failures_total", "counter", "Failed requests on the line, by kind.");
  for (const StationCounters& s : e.stations) {
    for (FailureKind kind : kFailureKinds) {
      out.Sample(StationLabels(s.info) + ",kind=\"" + FailureKindName(kind) + "\"",
                 static_cast<double>(CountOf(s.failures, kind)));
    }
  }
  // Ages and round trips exist only once something happened: a station
  // without one has no sample rather than a made-up value.
  out.Family("kelgate_station_data_age_seconds", "gauge", "Age of the station's oldest scanned data.");
  for (const StationCounters& s : e.stations) {
    if (s.dataAgeMs) out.Sample(StationLabels(s.info), *s.dataAgeMs / 1000);
  }
  out.Family("kelgate_station_round_trip_seconds", "gauge", "Duration of the last request to the station.");
  for (const StationCounters& s : e.stations) {
    if (s.lastRoundTripMs) out.Sample(StationLabels(s.info), *s.lastRoundTripMs / 1000);
  }

  const std::string device = "port=\"" + LabelValue(report.device.port) + "\"";
  out.Family("kelgate_line_open", "gauge", "1 while the serial device is open; 0 while it is gone.");
  out.Sample(device, report.device.open ? 1 : 0);
  out.Family("kelgate_line_device_losses_total", "counter", "Times the serial device vanished.");
  out.Sample(device, static_cast<double>(report.device.losses));
  out.Family("kelgate_line_busy_ratio", "gauge", "Fraction of the last ten seconds the line was busy.");
  out.Sample(device, e.line.busyFraction);
  out.Family("kelgate_line_busy_seconds_total", "counter", "Time the line was busy.");
  out.Sample(device, e.line.busySeconds);
  out.Family("kelgate_line_queue_length", "gauge", "Requests of the doors waiting for the line.");
  out.Sample(device, static_cast<double>(e.line.queueLength));
  out.Family("kelgate_line_cycles_total", "counter", "Scan passes.");
  out.Sample(device, static_cast<double>(e.line.cycles));
  out.Family("kelgate_line_requests_total", "counter", "Driver requests made, scan and doors.");
  out.Sample(device, static_cast<double>(e.line.requests));
  out.Family("kelgate_up_seconds", "gauge", "Time since the line started.");
  out.Sample("", e.line.upSeconds);

  out.Family("kelgate_modbus_clients", "gauge", "Modbus TCP clients connected now.");
  out.Sample("", e.clients.connected);
  out.Family("kelgate_modbus_connections_total", "counter", "Modbus TCP connections accepted.");
  out.Sample("", static_cast<double>(e.clients.connections));
  out.Family("kelgate_modbus_requests_total", "counter", "Modbus requests, by function code.");
  for (const auto& [function, n] : e.clients.requests) {
    out.Sample("function=\"" + std::to_string(function) + "\"", static_cast<double>(n));
  }
  out.Family("kelgate_modbus_exceptions_total", "counter", "Modbus exception answers, by exception code.");
  for (const auto& [code, n] : e.clients.exceptions) out.Sample("exception=\"" + Hex(code) + "\"", static_cast<double>(n));
  out.Family("kelgate_modbus_cache_answers_total", "counter", "Modbus reads answered from the scan cache.");
  out.Sample("", static_cast<double>(e.clients.fromCache));

  out.Family("kelgate_mqtt_enabled", "gauge", "1 when kelgate publishes to an MQTT broker.");
  out.Sample("", report.mqtt.enabled ? 1 : 0);
  out.Family("kelgate_mqtt_connected", "gauge", "1 while the MQTT broker connection is up.");
  out.Sample("", report.mqtt.connected ? 1 : 0);
  out.Family("kelgate_mqtt_messages_published_total", "counter", "MQTT messages handed to the broker.");
  out.Sample("", static_cast<double>(report.mqtt.published));
  return out.Take();
}

std::string StationsJson(const StatusReport& report) {
  const EngineSnapshot& e = report.engine;
  const auto optional = [](const std::optional<double>& value) { return value ? Number(*value) : "null"; };
  std::string out = "{\"device\":{\"port\":" + JsonString(report.device.port) +
                    ",\"board\":" + std::to_string(report.device.board) +
                    ",\"open\":" + (report.device.open ? "true" : "false") +
                    ",\"losses\":" + std::to_string(report.device.losses) + "}";
  out += ",\"line\":{\"busy_fraction\":" + Number(e.line.busyFraction) +
         ",\"queue_length\":" + std::to_string(e.line.queueLength) + ",\"cycles\":" + std::to_string(e.line.cycles) +
         ",\"requests\":" + std::to_string(e.line.requests) + ",\"up_seconds\":" + Number(e.line.upSeconds) +
         ",\"max_age_ms\":" + std::to_string(report.maxAgeMs) + "}";
  out += ",\"clients\":{\"connected\":" + std::to_string(e.clients.connected) +
         ",\"connections\":" + std::to_string(e.clients.connections) + ",\"requests\":{";
  const char* comma = "";
  for (const auto& [function, n] : e.clients.requests) {
    out += std::string(comma) + "\"" + std::to_string(function) + "\":" + std::to_string(n);
    comma = ",";
  }
  out += "},\"exceptions\":{";
  comma = "";
  for (const auto& [code, n] : e.clients.exceptions) {
    out += std::string(comma) + "\"" + Hex(code) + "\":" + std::to_string(n);
    comma = ",";
  }
  out += "},\"from_cache\":" + std::to_string(e.clients.fromCache) + "}";
  out += std::string(",\"mqtt\":{\"enabled\":") + (report.mqtt.enabled ? "true" : "false") +
         ",\"connected\":" + (report.mqtt.connected ? "true" : "false") +
         ",\"published\":" + std::to_string(report.mqtt.published) + "}";
  out += ",\"stations\":[";
  comma = "";
  for (const StationCounters& s : e.stations) {
    out += std::string(comma) + "{\"station\":" + std::to_string(s.info.number) +
           ",\"snp_id\":" + JsonString(s.info.snpId) + ",\"protocol\":\"" + ProtocolName(s.info.protocol) +
           "\",\"state\":\"" + StationState(report, s) + "\",\"demoted\":" + (s.demoted ? "true" : "false") +
           ",\"data_age_ms\":" + optional(s.dataAgeMs) + ",\"round_trip_ms\":" + optional(s.lastRoundTripMs) +
           ",\"block_reads\":" + std::to_string(s.blockReads) + ",\"cycles\":" + std::to_string(s.cycles) +
           ",\"requests\":" + std::to_string(s.requests) + ",\"demotions\":" + std::to_string(s.demotions) +
           ",\"demoted_seconds\":" + Number(s.demotedSeconds) + ",\"rejected\":" + std::to_string(s.rejected) +
           ",\"failures\":{";
    const char* inner = "";
    for (const auto& [kind, n] : s.failures) {
      out += std::string(inner) + JsonString(FailureKindName(kind)) + ":" + std::to_string(n);
      inner = ",";
    }
    out += "}}";
    comma = ",";
  }
  return out + "]}";
}

}  // namespace kelgate
