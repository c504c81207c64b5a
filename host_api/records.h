// Records exchanged with the host. They are plain, naturally aligned, in the
// host's field order; with 4-byte pointers the offsets are the host's own,
// checked below in the 32-bit build. A 64-bit build only widens the pointers.
// Every layer of the driver may read them: they include nothing of the driver.
#pragma once

#include <cstddef>
#include <cstdint>

struct DriverContext;

// Request codes: the slots of the handler table.
enum RequestCode : uint32_t {
  kRequestLoadDriver = 1,
  kRequestWarmStart = 2,
  kRequestParseAddress = 3,
  kRequestParseBlockAddress = 4,
  kRequestReadSingle = 5,
  kRequestReadBlock = 6,
  kRequestWriteSingle = 7,
  kRequestWriteBlock = 10,
  kRequestClosePort = 11,
  kRequestClosePortToo = 12,
  kRequestReopenPort = 13,
  kRequestGetDriverInfo = 14,
  kRequestChangePortSettings = 15,
  kRequestBrowseAddress = 16,
  kRequestSlots = 17,
};

struct KelRequest {
  DriverContext* context;  // the board's context, contextSize bytes, host-owned
  uint32_t code;           // request code, indexes the handler table
  int32_t board;           // board number: selects the network file
  uint32_t hostField;      // the host's own, never read
  void* params;            // parameter block of the request
};

// Line parameters: baud rate, data bits, stop-bit code (0 one, 1 one and a
// half, 2 two) and parity code (0 none, 1 odd, 2 even, 3 mark, 4 space).
struct LineSettings {
  uint16_t baudRate;
  uint16_t dataBits;
  uint16_t stopBits;
  uint16_t parity;
};

struct DriverInfo {
  int32_t version;
  const char* name;
  const char* banner;
  int32_t contextSize;
  int32_t hostValue1;
  LineSettings defaultLine;
  int32_t hostValue2;
};

struct LoadParams {
  char portName[12];
  uint32_t portInUse;
  int32_t readTimeout;  // units of 10 ms
  LineSettings line;
};

struct PortChangeParams {
  char portName[12];
  int32_t readTimeout;  // units of 10 ms; 0 keeps the current one
  LineSettings line;
};

struct WarmStartParams {
  int32_t plc;  // printed in the warm-start message; the rest is the host's
};

// The parsed address of a tag, as the parse requests return it.
constexpr int32_t kNoBit = 255;

struct ParseRecord {
  const char* gas;
  uint32_t hostField;
  int32_t dataType;
  int32_t count;
  int32_t station;
  int32_t area;
  int32_t element;
  int32_t bit;
  int32_t width;
};

struct TagRecord {
  const char* gas;
  uint32_t hostField1;
  int32_t station;
  int32_t area;
  int32_t element;
  int32_t bit;
  int32_t width;
  uint32_t hostField2;
  int32_t count;
  uint32_t hostField3;
  uint16_t* data;
};

// The TagRecord a host keeps for a tag: the address the parse request
// returned, the tag's element count and the host's value buffer.
inline TagRecord TagRecordFor(const ParseRecord& parsed, int32_t count, uint16_t* data = nullptr) {
  return TagRecord{parsed.gas, 0, parsed.station, parsed.area, parsed.element, parsed.bit, parsed.width, 0, count, 0,
                   data};
}

// A single value of requests 5 and 7 sits in this word of the host's value
// buffer (TagRecord.data): a bit as 0 or 1, a 16-bit element as it is. Area
// F's 32-bit value is the exception: it fills the first two words, the two %R
// registers of the pair in the PLC's order, so its second half is here too.
constexpr int kSingleValueWord = 1;

struct BrowseRecord {
  char* gasBuffer;    // receives the composed GAS, at least 10 characters
  void* ownerWindow;  // the host's window, owner of the dialog
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// The host's offsets, record by record: each field listed at its offset, then
// the record's size where the host fixes it.
struct FieldAt {
  size_t offset;
  size_t expected;
};
template <size_t N>
constexpr bool FieldsAt(const FieldAt (&fields)[N]) {
  for (const FieldAt& field : fields) {
    if (field.offset != field.expected) return false;
  }
  return true;
}

static_assert(FieldsAt({{offsetof(KelRequest, context), 0}, {offsetof(KelRequest, code), 4},
                        {offsetof(KelRequest, board), 8},
                        {offsetof(KelRequest, params), 16}}) && sizeof(KelRequest) == 20);
static_assert(FieldsAt({{offsetof(LineSettings, dataBits), 2}, {offsetof(LineSettings, stopBits), 4},
                        {offsetof(LineSettings, parity), 6}}) && sizeof(LineSettings) == 8);
static_assert(FieldsAt({{offsetof(DriverInfo, version), 0}, {offsetof(DriverInfo, name), 4},
                        {offsetof(DriverInfo, banner), 8}, {offsetof(DriverInfo, contextSize), 12},
                        {offsetof(DriverInfo, hostValue1), 16}, {offsetof(DriverInfo, defaultLine), 20},
                        {offsetof(DriverInfo, hostValue2), 28}}) && sizeof(DriverInfo) == 32);
static_assert(FieldsAt({{offsetof(LoadParams, portName), 0}, {offsetof(LoadParams, portInUse), 12},
                        {offsetof(LoadParams, readTimeout), 16},
                        {offsetof(LoadParams, line), 20}}) && sizeof(LoadParams) == 28);
static_assert(FieldsAt({{offsetof(PortChangeParams, portName), 0}, {offsetof(PortChangeParams, readTimeout), 12},
                        {offsetof(PortChangeParams, line), 16}}) && sizeof(PortChangeParams) == 24);
static_assert(FieldsAt({{offsetof(WarmStartParams, plc), 0}}));
static_assert(FieldsAt({{offsetof(ParseRecord, gas), 0}, {offsetof(ParseRecord, dataType), 8},
                        {offsetof(ParseRecord, count), 12}, {offsetof(ParseRecord, station), 16},
                        {offsetof(ParseRecord, area), 20}, {offsetof(ParseRecord, element), 24},
                        {offsetof(ParseRecord, bit), 28},
                        {offsetof(ParseRecord, width), 32}}) && sizeof(ParseRecord) == 36);
static_assert(FieldsAt({{offsetof(TagRecord, gas), 0}, {offsetof(TagRecord, station), 8},
                        {offsetof(TagRecord, area), 12}, {offsetof(TagRecord, element), 16},
                        {offsetof(TagRecord, bit), 20}, {offsetof(TagRecord, width), 24},
                        {offsetof(TagRecord, count), 32},
                        {offsetof(TagRecord, data), 40}}) && sizeof(TagRecord) == 44);
static_assert(FieldsAt({{offsetof(BrowseRecord, gasBuffer), 0},
                        {offsetof(BrowseRecord, ownerWindow), 4}}) && sizeof(BrowseRecord) == 8);
#endif
