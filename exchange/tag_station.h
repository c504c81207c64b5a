// The station of a read or write request's tag, for the protocol steps that
// start from the host's request rather than from a descriptor.
#pragma once

#include <cstdint>

#include "context/driver_context.h"
#include "host_api/records.h"

struct TagStationId {
  int32_t station;
  char snpId[kSnpIdSlotSize];  // NUL-terminated copy of the station's SNP ID
};

inline TagStationId TagStation(const KelRequest* request) {
  TagStationId tag{};
  tag.station = static_cast<const TagRecord*>(request->params)->station;
  for (int i = 0; i < kSnpIdSlotSize - 1; ++i) tag.snpId[i] = request->context->snpIds[tag.station][i];
  return tag;
}
