#include "address/gas.h"

#include "context/driver_context.h"
#include "host_api/records.h"
#include "platform/host_log.h"

const AreaInfo kAreaTable[kAreaCount] = {
    {'R', "R:  Register table (%R)."},
    {'L', "L:  Analog Input table (%AI)."},
    {'O', "O:  Analog Output table (%AQ)."},
    {'F', "F:  Register table (%R-32 bit)."},
    {'I', "I:  Discrete Input table (%I, Digital gate)."},
    {'Q', "Q:  Discrete Output table (%Q, Digital gate)."},
    {'T', "T:  Discrete Temporary table (%T, Digital gate)."},
    {'M', "M:  Discrete Internal table (%M, Digital gate)."},
    {'G', "G:  Genius Seamless (%G)."},
    {'A', "A:  Special Contacts A (%SA, Digital gate)."},
    {'B', "B:  Special Contacts B (%SB, Digital gate)."},
    {'C', "C:  Special Contacts C (%SC, Digital gate)."},
    {'D', "D:  System Fault (%S, Digital read-only gate)."},
};

namespace {

constexpr int32_t kParseOk = 0;
constexpr int32_t kParseFailed = 1;

constexpr const char* kPositionClass[kGasLength] = {
    "0123456",            // station, tens
    "0123456789",         // station, units
    "RLOFIQTMGABCD",      // area letter
    "0123456789", "0123456789", "0123456789", "0123456789", "0123456789",  // element
    "0123456789ABCDEF ",  // bit digit or blank
};

bool InClass(char c, const char* characters) {
  for (const char* p = characters; *p != '\0'; ++p) {
    if (*p == c) return true;
  }
  return false;
}

int Digit(char c) { return c - '0'; }

int HexDigit(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

bool IsFloatArea(int32_t area) { return area == 'F'; }

// Steps shared by both parse requests: text, syntax, station and element.
// Messages only when verbose (request 3).
bool ParseCommon(DriverContext* context, ParseRecord* record, bool verbose) {
  if (!NormalizeGas(context, record->gas, kGasLength)) return false;
  if (!CheckGasSyntax(context)) return false;
  const char* text = context->gasText;
  record->bit = kNoBit;
  record->width = 16;
  record->station = Digit(text[0]) * 10 + Digit(text[1]);

  const int32_t station = record->station;
  const bool haveFile = HasConfiguredStations(context);
  if (station > 64) {
    if (verbose) KEL_LOG(kLevelFault, "kelg1: Parse error Plc Address out of range 0-64 (%d)", station);
    return false;
  }
  if (haveFile && station == 0) {
    if (verbose) KEL_LOG(kLevelFault, "kelg1: Parse error Plc Address zero not allowed with init file");
    return false;
  }
  if (!haveFile && station != 0) {
    if (verbose) KEL_LOG(kLevelFault, "kelg1: Parse error Plc Address must be zero without init file");
    return false;
  }
  if (station != 0 && context->snpIds[station][0] == '\0') {
    if (verbose) KEL_LOG(kLevelFault, "kelg1: Parse error Plc Address (%d) not defined in init file", station);
    return false;
  }

  record->area = static_cast<unsigned char>(text[2]);
  int32_t element = 0;
  for (int i = 3; i < 8; ++i) element = element * 10 + Digit(text[i]);
  if (element == 0) {
    if (verbose) KEL_LOG(kLevelFault, "kelg1: Parse error Element number must start with 1 (zero invalid)");
    return false;
  }
  record->element = element - 1;
  return true;
}

bool ValidRequest(const KelRequest* request) {
  return request != nullptr && request->context != nullptr && request->params != nullptr &&
         static_cast<const ParseRecord*>(request->params)->gas != nullptr;
}

// The record of a parse request once the steps both parse requests share
// have passed; nullptr when they failed.
ParseRecord* CommonlyParsed(KelRequest* request, bool verbose) {
  if (!ValidRequest(request)) return nullptr;
  auto* record = static_cast<ParseRecord*>(request->params);
  return ParseCommon(request->context, record, verbose) ? record : nullptr;
}

constexpr int kBitPosition = 8;  // the bit digit, or a blank

}  // namespace

bool NormalizeGas(DriverContext* context, const char* gas, int limit) {
  int i = 0;
  for (; gas[i] != '\0'; ++i) {
    if (i == limit) return false;
    // Codes 97..127 lose 32 (lower case to upper case); others stay as they are.
    const auto code = static_cast<unsigned char>(gas[i]);
    context->gasText[i] = static_cast<char>(code >= 97 && code <= 127 ? code - 32 : code);
  }
  for (; i < limit; ++i) context->gasText[i] = ' ';
  return true;
}

bool CheckGasSyntax(const DriverContext* context) {
  for (int i = 0; i < kGasLength; ++i) {
    if (!InClass(context->gasText[i], kPositionClass[i])) return false;
  }
  return true;
}

bool HasConfiguredStations(const DriverContext* context) {
  for (int station = 1; station < kStationSlots; ++station) {
    if (context->snpIds[station][0] != '\0') return true;
  }
  return false;
}

int32_t ParseAddress(KelRequest* request) {
  ParseRecord* record = CommonlyParsed(request, true);
  if (record == nullptr) return kParseFailed;
  const char bitChar = request->context->gasText[kBitPosition];
  const int32_t type = record->dataType;
  if (IsFloatArea(record->area)) {
    if (!Is32BitDataType(type)) {
      KEL_LOG(kLevelFault, "kelg1: Parse error must be 32-bit gate in 'F' regions");
      return kParseFailed;
    }
    if (record->element % 2 != 0) {
      KEL_LOG(kLevelFault, "kelg1: Parse error Element number must be odd (2 element boundry) for 'F' regions");
      return kParseFailed;
    }
    if (bitChar != ' ') {
      KEL_LOG(kLevelFault, "kelg1: Parse error bits not supported in 'F' regions");
      return kParseFailed;
    }
    record->width = 32;
    record->element >>= 1;
    return kParseOk;
  }
  if (IsRegisterArea(record->area)) {
    if (type == kDataTypeDigital) {
      if (bitChar == ' ') return kParseFailed;
      record->bit = HexDigit(bitChar);
      return kParseOk;
    }
    if (IsWordDataType(type) && bitChar == ' ') return kParseOk;
    return kParseFailed;
  }
  // A discrete area: the tag is one bit, addressed by the word that holds it.
  if (type != kDataTypeDigital || bitChar != ' ') return kParseFailed;
  record->bit = record->element & 15;
  record->element >>= 4;
  return kParseOk;
}

int32_t ParseBlockAddress(KelRequest* request) {
  ParseRecord* record = CommonlyParsed(request, false);
  if (record == nullptr) return kParseFailed;
  const DriverContext* context = request->context;
  const char bitChar = context->gasText[kBitPosition];
  if (IsFloatArea(record->area)) {
    if (record->element % 2 != 0 || bitChar != ' ') return kParseFailed;
    record->width = 32;
    record->element >>= 1;
  } else if (IsRegisterArea(record->area)) {
    // A bit in a register word cannot be a block tag.
    if (!IsWordDataType(record->dataType) || bitChar != ' ') {
      return kParseFailed;
    }
  } else {
    if (bitChar != ' ') return kParseFailed;
    record->bit = record->element & 15;
    record->element >>= 4;
  }

  // A block of no elements, or fewer, would later become an access of 65535
  // units into a host buffer that has no room for it.
  if (record->count < 1) return kParseFailed;
  const bool snpx = context->snpxStation[record->station] != 0;
  const int32_t limit = record->width == 32 ? (snpx ? kSnpxBlockLimit32 : kSnpBlockLimit32)
                                            : (snpx ? kSnpxBlockLimit16 : kSnpBlockLimit16);
  return record->count <= limit ? kParseOk : kParseFailed;
}
