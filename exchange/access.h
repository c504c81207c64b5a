// One PLC memory access, protocol-neutral: the segment selector naming the
// memory type and unit, where to start, how many units, and the bit; and how
// its data is laid out on the wire. Both protocols build on this; the read and
// write requests above them build the descriptors.
#pragma once

#include <cstdint>

#include "host_api/records.h"

// Results of the protocol operations of both protocols.
constexpr int32_t kProtocolOk = 0;
constexpr int32_t kProtocolFailed = 1;       // no ACK, no or bad reply, PLC error
constexpr int32_t kProtocolNotAttached = 2;  // the station could not be attached

enum AccessMode : uint8_t {
  kModeWord = 5,        // words, or bytes of a discrete area
  kModeDoubleWord = 7,  // 32-bit values as pairs of %R registers
  kModeBit = 9,         // one bit
};

struct AccessDescriptor {
  uint8_t selector;
  uint8_t mode;
  uint16_t index;   // 0-based, in the selector's unit
  uint16_t length;  // number of units
  uint16_t bit;     // 0..15 for a one-bit access, else kNoBit
};

// Segment selectors of the word areas; the discrete areas have a byte and a
// bit selector each (see the table in access.cpp).
constexpr uint8_t kSelectorR = 8;
constexpr uint8_t kSelectorAI = 10;
constexpr uint8_t kSelectorAQ = 12;

bool IsWordSelector(uint8_t selector);
bool IsByteSelector(uint8_t selector);
bool IsBitSelector(uint8_t selector);

// Whole elements and blocks: area, element and count of the tag.
void BuildWordAccess(const TagRecord* tag, AccessDescriptor* access);
// One value that is a bit, or the register word that holds the bit.
void BuildBitAccess(const TagRecord* tag, AccessDescriptor* access);

// Stores read data into the host's 16-bit values as the descriptor says.
void UnpackReadData(const AccessDescriptor* access, uint16_t* values, const uint8_t* data);
// Bytes of data a descriptor covers: what a read must receive and a write sends.
uint16_t WriteDataLength(const AccessDescriptor* access);
