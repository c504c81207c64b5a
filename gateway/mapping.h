// Where Modbus addresses land in PLC memory, and which PLC ranges a client
// may write. Both are plain rules, free of sockets and of the driver.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace kelgate {

// The four Modbus data tables.
enum class Table { kCoils, kDiscreteInputs, kHoldingRegisters, kInputRegisters };
const char* TableName(Table table);
inline bool IsBitTable(Table table) { return table == Table::kCoils || table == Table::kDiscreteInputs; }

// A PLC memory area as the gateway names it (R, AI, AQ, I, Q, T, M, G, SA,
// SB, SC, S) and as the driver's address strings name it (one letter).
struct Area {
  const char* name;
  char letter;
  bool bits;  // one element is one bit; otherwise one 16-bit word
};
const Area* FindArea(const std::string& name);
const Area* AreaByLetter(char letter);
// The fault for a name that is no area: "\"X\" is no PLC area (R, AI, ...)".
std::string NotAnArea(const std::string& name);

// A decimal number with nothing around it.
bool ParseUnsigned(const std::string& text, uint32_t* value);
// "FIRST-LAST" or a single number; first <= last.
bool ParseRange(const std::string& text, uint32_t* first, uint32_t* last);

// Highest element number a request may reach: the driver carries element
// indexes in 16 bits.
constexpr uint32_t kLastElement = 65536;

// Modbus addresses first..last of one table are the elements from `element`
// (1-based) on of one area.
struct MapEntry {
  Table table;
  uint32_t first;
  uint32_t last;
  const Area* area;
  uint32_t element;
};

// The PLC place of a run of Modbus items.
struct Place {
  const Area* area;
  uint32_t element;  // first element, 1-based
  uint32_t count;    // elements (bits or words)
};

class AddressMap {
 public:
  // Holding registers %R, input registers %AI, coils %Q, discrete inputs %I,
  // Modbus address n = element n + 1 throughout.
  static AddressMap Default();
  // Reads a map file: one entry per line, "TABLE FIRST-LAST AREA ELEMENT"
  // (TABLE: coils, discrete, holding, input; '#' starts a comment). False,
  // with the line and the reason in *error, on a malformed or overlapping
  // entry.
  bool Load(std::istream& in, std::string* error);
  // The place of `count` items from `address`; none when any of them lies
  // outside the map or the run spans two entries.
  std::optional<Place> Resolve(Table table, uint32_t address, uint32_t count) const;
  const std::vector<MapEntry>& Entries() const { return entries_; }
  std::string Describe() const;

 private:
  bool Add(const MapEntry& entry, std::string* error);
  std::vector<MapEntry> entries_;
};

// Which PLC elements clients may write: --allow-write AREA[:FIRST-LAST],...
// Nothing is writable until a list names it.
class WritePolicy {
 public:
  bool Parse(const std::string& list, std::string* error);
  // True when every element of the place lies in one allowed range.
  bool Allows(const Place& place) const;
  bool Empty() const { return ranges_.empty(); }
  std::string Describe() const;

 private:
  struct Range {
    const Area* area;
    uint32_t first;
    uint32_t last;
  };
  std::vector<Range> ranges_;
};

}  // namespace kelgate
