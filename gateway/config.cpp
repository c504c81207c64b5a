#include "gateway/config.h"

#include <cmath>
#include <cstring>
#include <optional>

namespace kelgate {
namespace {

// The file's keys of the gateway's own sections and the options they set.
struct Key {
  const char* section;
  const char* key;
  const char* option;
};
constexpr Key kKeys[] = {
    {"line", "port", "--port"},
    {"line", "board", "--board"},
    {"line", "baud", "--baud"},
    {"line", "parity", "--parity"},
    {"line", "data_bits", "--data-bits"},
    {"line", "stop_bits", "--stop-bits"},
    {"line", "timeout_ms", "--timeout"},
    {"line", "driver", "--driver"},
    {"modbus", "listen", "--listen"},
    {"modbus", "allow_write", "--allow-write"},
    {"modbus", "max_clients", "--max-clients"},
    {"modbus", "idle_timeout_s", "--idle-timeout"},
    {"modbus", "deadline_ms", "--deadline"},
    {"modbus", "map", "--map"},
    {"scan", "max_age_ms", "--max-age-ms"},
    {"health", "failures", "--health-failures"},
    {"health", "hold_s", "--hold-s"},
    {"health", "hold_max_s", "--hold-max-s"},
};

// A scalar as an option's text: strings as they are, numbers in decimal
// (1.5 stop bits as "1.5"); none for other kinds of value.
std::optional<std::string> Text(const toml::node& node) {
  if (const auto* text = node.as_string()) return text->get();
  if (const auto* integer = node.as_integer()) return std::to_string(integer->get());
  if (const auto* real = node.as_floating_point()) {
    const double value = real->get();
    if (value == std::floor(value) && std::fabs(value) < 1e15) return std::to_string(static_cast<long long>(value));
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return std::string(text);
  }
  return std::nullopt;
}

class Reader {
 public:
  Reader(const ConfigFile& file, Options* options, std::string* error)
      : file_(file), options_(options), error_(error) {}

  bool Read() {
    for (const auto& [name, node] : file_.table) {
      const std::string section(name.str());
      bool foreign = false;
      for (std::string_view other : kForeignSections) foreign = foreign || section == other;
      if (foreign) continue;
      const toml::table* table = node.as_table();
      if (table == nullptr) {
        const bool known = section == "line" || section == "modbus" || section == "scan" || section == "health";
        return Fail(node, known ? "[" + section + "] must be a table" : "\"" + section + "\" is not in a section");
      }
      if (section != "line" && section != "modbus" && section != "scan" && section != "health") {
        return Fail(node, "unknown section [" + section + "]");
      }
      for (const auto& [key, value] : *table) {
        if (!ReadKey(section, std::string(key.str()), value)) return false;
      }
    }
    return true;
  }

 private:
  bool Fail(const toml::node& node, const std::string& fault) {
    *error_ = file_.Fault(node, fault);
    return false;
  }

  bool ReadKey(const std::string& section, const std::string& key, const toml::node& value) {
    if (section == "scan" && key == "group") return ReadGroups(value);
    for (const Key& k : kKeys) {
      if (section != k.section || key != k.key) continue;
      std::optional<std::string> text = Text(value);
      if (const auto* list = value.as_array(); list && key == "allow_write") {
        // allow_write = ["R:1-100", "Q:1-64"] as well as "R:1-100,Q:1-64".
        text = "";
        for (const toml::node& item : *list) {
          const auto* range = item.as_string();
          if (range == nullptr) return Fail(item, key + ": expects strings such as \"R:1-100\"");
          *text += range->get() + ",";
        }
      }
      if (!text) return Fail(value, key + ": expects a number or a string");
      std::string why;
      if (!SetOption(k.option, *text, options_, &why)) return Fail(value, key + ": " + why);
      return true;
    }
    return Fail(value, "unknown key \"" + key + "\" in [" + section + "]");
  }

  bool ReadGroups(const toml::node& node) {
    const toml::array* groups = node.as_array();
    if (groups == nullptr) return Fail(node, "scan.group: expects [[scan.group]] tables");
    for (const toml::node& item : *groups) {
      const toml::table* table = item.as_table();
      if (table == nullptr) return Fail(item, "scan.group: expects [[scan.group]] tables");
      ScanGroup group;
      if (!ReadGroup(*table, &group)) return false;
      options_->scan.groups.push_back(group);
    }
    return true;
  }

  bool ReadGroup(const toml::table& table, ScanGroup* group) {
    bool haveStation = false, haveArea = false, haveFirst = false, haveLast = false;
    for (const auto& [name, value] : table) {
      const std::string key(name.str());
      const auto* integer = value.as_integer();
      const auto* text = value.as_string();
      const auto number = [&](uint32_t* out, int64_t min, int64_t max) {
        if (integer == nullptr || integer->get() < min || integer->get() > max) {
          return Fail(value, key + ": expects a number within " + std::to_string(min) + "-" + std::to_string(max));
        }
        *out = static_cast<uint32_t>(integer->get());
        return true;
      };
      uint32_t station = 0;
      if (key == "station") {
        if (text && text->get() == "*") {
          group->station = kAllStations;
        } else if (!number(&station, 0, kHighestStation)) {
          return Fail(value, "station: expects a station number (0-64) or \"*\"");
        } else {
          group->station = static_cast<int>(station);
        }
        haveStation = true;
      } else if (key == "area") {
        group->area = text ? FindArea(text->get()) : nullptr;
        if (group->area == nullptr) return Fail(value, "area: " + NotAnArea(text ? text->get() : "?"));
        haveArea = true;
      } else if (key == "first") {
        if (!number(&group->first, 1, kLastElement)) return false;
        haveFirst = true;
      } else if (key == "last") {
        if (!number(&group->last, 1, kLastElement)) return false;
        haveLast = true;
      } else if (key == "interval_ms") {
        if (!number(&group->intervalMs, kShortestIntervalMs, kLongestIntervalMs)) return false;
      } else if (key == "name") {
        if (text == nullptr) return Fail(value, "name: expects a string");
        group->name = text->get();
      } else if (key == "type") {
        const auto type = text ? ParseValueType(text->get()) : std::nullopt;
        if (!type) return Fail(value, "type: expects \"uint16\", \"int16\", \"int32\" or \"float\"");
        group->type = *type;
      } else {
        return Fail(value, "unknown key \"" + key + "\" in [[scan.group]]");
      }
    }
    if (!haveStation || !haveArea || !haveFirst) {
      return Fail(table, "[[scan.group]] needs station, area and first (and last for more than one element)");
    }
    if (!haveLast) group->last = group->first;
    const std::string fault = CheckScanGroup(*group);
    return fault.empty() || Fail(table, "scan group: " + fault);
  }

  const ConfigFile& file_;
  Options* options_;
  std::string* error_;
};

}  // namespace

const toml::table* ConfigFile::Section(std::string_view name) const {
  const toml::node* node = table.get(name);
  return node ? node->as_table() : nullptr;
}

std::string ConfigFile::Fault(const toml::node& node, const std::string& fault) const {
  const auto& source = node.source();
  if (source.begin.line == 0) return path + ": " + fault;
  return path + ":" + std::to_string(source.begin.line) + ": " + fault;
}

bool LoadConfiguration(int argc, const char* const* argv, Options* options, ConfigFile* file, std::string* error) {
  // The file comes first: find it before the other options are applied.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      file->path.clear();
      break;
    }
    if (std::strcmp(argv[i], "--config") == 0) file->path = argv[i + 1];
    // Skip the value of an option: "--config" may be some option's value.
    if (std::strncmp(argv[i], "--", 2) == 0 && std::strcmp(argv[i], "--verbose") != 0) ++i;
  }
  if (!file->path.empty()) {
    try {
      file->table = toml::parse_file(file->path);
    } catch (const toml::parse_error& fault) {
      const auto line = fault.source().begin.line;
      *error =
          file->path + (line ? ":" + std::to_string(line) : std::string()) + ": " + std::string(fault.description());
      return false;
    }
    if (!Reader(*file, options, error).Read()) return false;
  }
  if (!ParseOptions(argc, argv, options, error)) {
    *error = "kelgate: " + *error + " (kelgate --help lists the options)";
    return false;
  }
  return true;
}

}  // namespace kelgate
