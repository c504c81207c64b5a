#include "gateway/scan_config.h"

namespace kelgate {

const char* ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kUint16:
      return "uint16";
    case ValueType::kInt16:
      return "int16";
    case ValueType::kInt32:
      return "int32";
    case ValueType::kFloat:
      return "float";
  }
  return "?";
}

std::optional<ValueType> ParseValueType(const std::string& name) {
  for (ValueType type : {ValueType::kUint16, ValueType::kInt16, ValueType::kInt32, ValueType::kFloat}) {
    if (name == ValueTypeName(type)) return type;
  }
  return std::nullopt;
}

const char* ProtocolName(Protocol protocol) { return protocol == Protocol::kSnpx ? "SNPX" : "SNP"; }

std::string CheckScanGroup(const ScanGroup& group) {
  if (group.station != kAllStations && (group.station < 0 || group.station > kHighestStation)) {
    return "station " + std::to_string(group.station) + " is not 0-" + std::to_string(kHighestStation) + " or *";
  }
  if (group.area == nullptr) return "the group names no area";
  if (group.first < 1 || group.last < group.first || group.last > kLastElement) {
    return "elements " + std::to_string(group.first) + "-" + std::to_string(group.last) + " are not within 1-" +
           std::to_string(kLastElement);
  }
  if (group.intervalMs < kShortestIntervalMs || group.intervalMs > kLongestIntervalMs) {
    return "interval " + std::to_string(group.intervalMs) + " ms is not within " + std::to_string(kShortestIntervalMs) +
           "-" + std::to_string(kLongestIntervalMs);
  }
  if (group.area->bits && group.type != ValueType::kUint16) {
    return std::string("area ") + group.area->name + " holds bits, which take no type";
  }
  if ((group.last - group.first + 1) % WordsOf(group.type) != 0) {
    return std::string(ValueTypeName(group.type)) + " takes two words each: the range needs an even count";
  }
  return "";
}

bool ParseScanGroup(const std::string& text, ScanGroup* group, std::string* error) {
  *group = ScanGroup{};
  const size_t colon1 = text.find(':');
  const size_t colon2 = colon1 == std::string::npos ? colon1 : text.find(':', colon1 + 1);
  if (colon2 == std::string::npos) {
    *error = "\"" + text + "\" is not ST:AREA:FIRST-LAST[@MS]";
    return false;
  }
  const std::string station = text.substr(0, colon1);
  const std::string area = text.substr(colon1 + 1, colon2 - colon1 - 1);
  std::string range = text.substr(colon2 + 1);
  if (const size_t at = range.find('@'); at != std::string::npos) {
    if (!ParseUnsigned(range.substr(at + 1), &group->intervalMs)) {
      *error = "\"" + range.substr(at + 1) + "\" is not an interval in milliseconds";
      return false;
    }
    range.erase(at);
  }
  uint32_t number = 0;
  if (station == "*") {
    group->station = kAllStations;
  } else if (ParseUnsigned(station, &number) && number <= kHighestStation) {
    group->station = static_cast<int>(number);
  } else {
    *error = "\"" + station + "\" is not a station number (0-64) or *";
    return false;
  }
  group->area = FindArea(area);
  if (group->area == nullptr) {
    *error = NotAnArea(area);
    return false;
  }
  if (!ParseRange(range, &group->first, &group->last)) {
    *error = "\"" + range + "\" is not a range of element numbers FIRST-LAST";
    return false;
  }
  *error = CheckScanGroup(*group);
  return error->empty();
}

}  // namespace kelgate
