// The generic address string (GAS) of a tag and the memory areas it names.
#pragma once

#include <cstdint>

struct DriverContext;
struct KelRequest;

struct AreaInfo {
  char letter;
  const char* description;  // as the browse dialog lists it
};

// The thirteen memory areas, in the order of the browse list.
constexpr int kAreaCount = 13;
extern const AreaInfo kAreaTable[kAreaCount];

constexpr int kGasLength = 9;

// Host data type codes that the parse tests. The host has two codes for a
// 16-bit value and three for a 32-bit one; the parse treats each group alike.
constexpr int32_t kDataTypeWord = 0;
constexpr int32_t kDataTypeWordAlternate = 1;
constexpr int32_t kDataType32BitFirst = 3;
constexpr int32_t kDataType32BitSecond = 4;
constexpr int32_t kDataType32BitThird = 5;
constexpr int32_t kDataTypeDigital = 6;

constexpr bool IsWordDataType(int32_t type) { return type == kDataTypeWord || type == kDataTypeWordAlternate; }
constexpr bool Is32BitDataType(int32_t type) {
  return type == kDataType32BitFirst || type == kDataType32BitSecond || type == kDataType32BitThird;
}

// Block limits: elements per block tag by protocol and width.
constexpr int32_t kSnpxBlockLimit16 = 256;
constexpr int32_t kSnpxBlockLimit32 = 128;
constexpr int32_t kSnpBlockLimit16 = 500;
constexpr int32_t kSnpBlockLimit32 = 250;

// Copies the GAS into gasText, upper-cased and blank-padded; false when the
// text does not end within limit characters. Never reads past limit + 1.
bool NormalizeGas(DriverContext* context, const char* gas, int limit);
// True when each of the nine positions holds a character of its class.
bool CheckGasSyntax(const DriverContext* context);
// True when a network file defined at least one of stations 1..64.
bool HasConfiguredStations(const DriverContext* context);

inline bool IsRegisterArea(int32_t area) { return area == 'R' || area == 'L' || area == 'O'; }

// Requests 3 and 4: 0 when the GAS is valid, 1 when it is not.
int32_t ParseAddress(KelRequest* request);
int32_t ParseBlockAddress(KelRequest* request);
