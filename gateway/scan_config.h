// What the scan engine is told: scan groups, the stations of the line,
// station health and the cache's age limit. Plain values, shared by the
// configuration file, the command line and the doors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/mapping.h"

namespace kelgate {

// A scan group's station when it names every station of the network file.
constexpr int kAllStations = -1;
constexpr uint32_t kDefaultIntervalMs = 1000;
constexpr uint32_t kShortestIntervalMs = 10;
constexpr uint32_t kLongestIntervalMs = 86400000;  // a day
// Station numbers of a network file.
constexpr int kHighestStation = 64;

// How consumers present a group's values. Word areas hold 16-bit words;
// int32 and float take two consecutive words, low word first. Bit areas
// are always booleans and take no type.
enum class ValueType { kUint16, kInt16, kInt32, kFloat };
// "uint16", "int16", "int32", "float".
const char* ValueTypeName(ValueType type);
std::optional<ValueType> ParseValueType(const std::string& name);
// Words one value of the type takes: 1 or 2.
inline uint32_t WordsOf(ValueType type) { return type == ValueType::kInt32 || type == ValueType::kFloat ? 2 : 1; }

// One scan group as configured ([[scan.group]] or --scan).
struct ScanGroup {
  int station = kAllStations;  // a station number, or kAllStations
  const Area* area = nullptr;
  uint32_t first = 1;  // elements, 1-based, inclusive
  uint32_t last = 1;
  uint32_t intervalMs = kDefaultIntervalMs;
  std::string name;  // optional tag name ("" = none)
  ValueType type = ValueType::kUint16;
  // True when the group scans `station` (its own, or every station).
  bool Covers(int number) const { return station == kAllStations || station == number; }
};

enum class Protocol { kSnp, kSnpx };
const char* ProtocolName(Protocol protocol);  // "SNP", "SNPX"

// A station of the board's network file.
struct StationInfo {
  int number = 0;
  std::string snpId;  // "" on a point-to-point line
  Protocol protocol = Protocol::kSnp;
  uint32_t blockLimit = 0;  // most words one block read may carry
};

// Station health: demotion after `failures` failed requests in a row that
// got no answer; 0 turns health off (every request goes to the line).
struct HealthConfig {
  int failures = 1;
  int holdS = 10;      // first probe after this long
  int holdMaxS = 300;  // the hold doubles after each failed probe up to this
};

// A scanned element's data is stale once older than this. A request to a
// silent station holds the line for every attach retry of the driver, so
// the data of the others ages by that much whenever one is probed: the
// default leaves room for it at the slowest usual baud rates.
constexpr uint32_t kDefaultMaxAgeMs = 30000;

struct ScanConfig {
  std::vector<ScanGroup> groups;
  uint32_t maxAgeMs = kDefaultMaxAgeMs;
  HealthConfig health;
};

// The fault of a group ("" when there is none): station, elements within
// the area, interval, and a type that fits the area and the range.
std::string CheckScanGroup(const ScanGroup& group);

// "ST:AREA:FIRST-LAST[@MS]" (ST a station number or '*'), as --scan takes
// it. False with the reason in *error.
bool ParseScanGroup(const std::string& text, ScanGroup* group, std::string* error);

}  // namespace kelgate
