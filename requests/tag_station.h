// The station of a read or write request's tag, for the protocol steps that
// start from the host's request rather than from a descriptor.
#pragma once

#include <cstdint>

#include "driver/driver_context.h"
#include "driver/host_interface.h"

// The tag's station, with a NUL-terminated copy of its SNP ID.
inline int32_t TagStation(const KelRequest* request, char (&snpId)[kSnpIdSlotSize]) {
  const int32_t station = static_cast<const TagRecord*>(request->params)->station;
  for (int i = 0; i < kSnpIdSlotSize; ++i) {
    snpId[i] = i < kSnpIdSlotSize - 1 ? request->context->snpIds[station][i] : '\0';
  }
  return station;
}
