#include "gateway/mapping.h"

#include <array>
#include <cctype>
#include <charconv>
#include <sstream>

namespace kelgate {
namespace {

constexpr std::array<Area, 12> kAreas{{
    {"R", 'R', false},
    {"AI", 'L', false},
    {"AQ", 'O', false},
    {"I", 'I', true},
    {"Q", 'Q', true},
    {"T", 'T', true},
    {"M", 'M', true},
    {"G", 'G', true},
    {"SA", 'A', true},
    {"SB", 'B', true},
    {"SC", 'C', true},
    {"S", 'D', true},
}};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::optional<Table> ParseTable(const std::string& text) {
  const std::string name = Upper(text);
  if (name == "COILS") return Table::kCoils;
  if (name == "DISCRETE") return Table::kDiscreteInputs;
  if (name == "HOLDING") return Table::kHoldingRegisters;
  if (name == "INPUT") return Table::kInputRegisters;
  return std::nullopt;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseRange(const std::string& text, uint32_t* first, uint32_t* last) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return ParseUnsigned(text, first) && ParseUnsigned(text, last);
  return ParseUnsigned(text.substr(0, dash), first) && ParseUnsigned(text.substr(dash + 1), last) && *first <= *last;
}

const char* TableName(Table table) {
  switch (table) {
    case Table::kCoils:
      return "coils";
    case Table::kDiscreteInputs:
      return "discrete";
    case Table::kHoldingRegisters:
      return "holding";
    case Table::kInputRegisters:
      return "input";
  }
  return "?";
}

const Area* FindArea(const std::string& name) {
  const std::string upper = Upper(name.size() > 1 && name[0] == '%' ? name.substr(1) : name);
  for (const Area& area : kAreas) {
    if (upper == area.name) return &area;
  }
  return nullptr;
}

std::string NotAnArea(const std::string& name) {
  return "\"" + name + "\" is no PLC area (R, AI, AQ, I, Q, T, M, G, SA, SB, SC, S)";
}

const Area* AreaByLetter(char letter) {
  for (const Area& area : kAreas) {
    if (area.letter == letter) return &area;
  }
  return nullptr;
}

AddressMap AddressMap::Default() {
  AddressMap map;
  map.entries_ = {
      {Table::kCoils, 0, kLastElement - 1, FindArea("Q"), 1},
      {Table::kDiscreteInputs, 0, kLastElement - 1, FindArea("I"), 1},
      {Table::kHoldingRegisters, 0, kLastElement - 1, FindArea("R"), 1},
      {Table::kInputRegisters, 0, kLastElement - 1, FindArea("AI"), 1},
  };
  return map;
}

bool AddressMap::Add(const MapEntry& entry, std::string* error) {
  if (entry.area->bits != IsBitTable(entry.table)) {
    *error = std::string("area ") + entry.area->name + (entry.area->bits ? " holds bits" : " holds words") +
             ", table " + TableName(entry.table) + (IsBitTable(entry.table) ? " bits" : " registers");
    return false;
  }
  if (entry.last > 65535) {
    *error = "Modbus addresses end at 65535";
    return false;
  }
  if (entry.element < 1 || entry.element - 1 + (entry.last - entry.first) >= kLastElement) {
    *error = "elements must lie within 1-" + std::to_string(kLastElement);
    return false;
  }
  for (const MapEntry& other : entries_) {
    if (other.table == entry.table && entry.first <= other.last && other.first <= entry.last) {
      *error = "overlaps the entry for " + std::string(TableName(other.table)) + " " + std::to_string(other.first) +
               "-" + std::to_string(other.last);
      return false;
    }
  }
  entries_.push_back(entry);
  return true;
}

bool AddressMap::Load(std::istream& in, std::string* error) {
  entries_.clear();
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string table, range, area, element, extra;
    if (!(words >> table)) continue;
    words >> range >> area >> element;
    const auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why;
      entries_.clear();
      return false;
    };
    if (words >> extra || element.empty()) return fail("expected TABLE FIRST-LAST AREA ELEMENT");
    MapEntry entry{};
    const auto parsedTable = ParseTable(table);
    if (!parsedTable) return fail("\"" + table + "\" is not coils, discrete, holding or input");
    entry.table = *parsedTable;
    if (!ParseRange(range, &entry.first, &entry.last)) return fail("\"" + range + "\" is not FIRST-LAST");
    entry.area = FindArea(area);
    if (entry.area == nullptr) return fail(NotAnArea(area));
    if (!ParseUnsigned(element, &entry.element)) return fail("\"" + element + "\" is not an element number");
    std::string why;
    if (!Add(entry, &why)) return fail(why);
  }
  if (entries_.empty()) {
    *error = "the map has no entry";
    return false;
  }
  return true;
}

std::optional<Place> AddressMap::Resolve(Table table, uint32_t address, uint32_t count) const {
  if (count == 0) return std::nullopt;
  const uint64_t end = static_cast<uint64_t>(address) + count - 1;
  for (const MapEntry& entry : entries_) {
    if (entry.table == table && address >= entry.first && end <= entry.last) {
      return Place{entry.area, entry.element + (address - entry.first), count};
    }
  }
  return std::nullopt;
}

std::string AddressMap::Describe() const {
  std::string text;
  for (const MapEntry& entry : entries_) {
    if (!text.empty()) text += ", ";
    text += std::string(TableName(entry.table)) + " " + std::to_string(entry.first) + "-" + std::to_string(entry.last) +
            " = %" + entry.area->name + std::to_string(entry.element) + "..";
  }
  return text;
}

bool WritePolicy::Parse(const std::string& list, std::string* error) {
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.empty()) continue;
    const size_t colon = item.find(':');
    Range range{FindArea(item.substr(0, colon)), 1, kLastElement};
    if (range.area == nullptr) {
      *error = NotAnArea(item.substr(0, colon));
      return false;
    }
    if (colon != std::string::npos &&
        (!ParseRange(item.substr(colon + 1), &range.first, &range.last) || range.first < 1)) {
      *error = "\"" + item.substr(colon + 1) + "\" is not a range of element numbers FIRST-LAST (from 1)";
      return false;
    }
    ranges_.push_back(range);
  }
  return true;
}

bool WritePolicy::Allows(const Place& place) const {
  // Ranges may touch or overlap: walk the place and let each step be
  // covered by some range.
  uint64_t next = place.element;
  const uint64_t end = static_cast<uint64_t>(place.element) + place.count - 1;
  while (next <= end) {
    uint64_t reach = 0;
    for (const Range& range : ranges_) {
      if (range.area == place.area && range.first <= next && next <= range.last && range.last > reach) {
        reach = range.last;
      }
    }
    if (reach == 0) return false;
    next = reach + 1;
  }
  return true;
}

std::string WritePolicy::Describe() const {
  if (ranges_.empty()) return "none (read-only)";
  std::string text;
  for (const Range& range : ranges_) {
    if (!text.empty()) text += ", ";
    text += std::string("%") + range.area->name + std::to_string(range.first) + "-" + std::to_string(range.last);
  }
  return text;
}

}  // namespace kelgate
