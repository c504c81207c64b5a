// The per-board state. The host allocates it zero-filled with the size the
// driver announces and passes it in every request; the driver keeps nothing
// else for a board.
#pragma once

#include <cstdint>

#include "host_api/records.h"
#include "serial/serial_port.h"

constexpr int kStationSlots = 65;      // stations 0..64
constexpr int kSnpIdSlotSize = 16;     // an SNP ID of up to 8 characters, NUL-padded
constexpr int32_t kNoStation = 300;    // attachedStation when none is attached
constexpr int32_t kContextSize = 1300; // announced to the host

// Option words of the port: DTR and RTS off, or RTS held on.
constexpr uint16_t kPortFlagsDefault = 0x0008;
constexpr uint16_t kPortFlagsRts = 0x020A;

struct DriverContext {
  int32_t readTimeout;  // normal total read timeout, units of 10 ms
  PortHandle port;      // kNoPort when closed
  uint32_t portInUse;
  PortSettings portSettings;
  char snpIds[kStationSlots][kSnpIdSlotSize];
  uint8_t snpxStation[kStationSlots];
  char gasText[10];  // the last parsed GAS, 9 characters and a NUL never written
  int32_t attachedStation;
  uint32_t snpxAttached;
  uint32_t lastAckTick;
  uint32_t rtsControl;
  uint16_t attachWait;  // attach-response wait, units of 10 ms
};

static_assert(sizeof(DriverContext) <= static_cast<size_t>(kContextSize),
              "the context must fit the size announced to the host");
