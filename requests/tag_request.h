// What the read and write requests share: the checks of the host's record,
// the protocol choice and the GAS copy quoted in their messages.
#pragma once

#include <cstdint>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "host_api/records.h"

struct ProtocolOps {
  int32_t (*read)(DriverContext*, int32_t, const char*, const AccessDescriptor*, uint16_t*);
  int32_t (*write)(DriverContext*, int32_t, const char*, const AccessDescriptor*, const uint16_t*);
  int32_t (*readWord)(KelRequest*, const AccessDescriptor*, uint16_t*);
};

// SNPX for a station whose flag is 1, SNP otherwise.
const ProtocolOps& ProtocolFor(const DriverContext* context, int32_t station);

// The tag of a request when it can be served: context, record, GAS and data
// present and a station in 0..64. nullptr otherwise.
TagRecord* ServableTag(KelRequest* request);

// The GAS as the messages quote it: at most 31 characters, upper case.
struct GasCopy {
  char text[32];
  explicit GasCopy(const char* gas);
};

// Logs format at level 32 with the station, the result and the GAS when the
// result is a failure; returns the result.
int32_t ReportFailure(int32_t result, const char* format, int32_t station, const GasCopy& gas);

// Which way a block of whole elements goes.
enum class Transfer { kRead, kWrite };

// A block of whole elements of the tag, read into or written from its data
// through the station's protocol; a failure is logged with format. A tag of
// no element fails at once.
int32_t TransferBlock(DriverContext* context, const TagRecord& tag, Transfer direction, const char* format);

// Whole elements of a single request run as a one-element block: the copy
// of the tag has count 1 and, for a 16-bit element, the data one word on.
TagRecord OneElementBlock(const TagRecord& tag);

// A single request: a whole element runs as a one-element block through
// block(context, tag); a bit through bit(tag, protocol, gas).
template <typename Block, typename Bit>
int32_t ServeSingle(KelRequest* request, Block&& block, Bit&& bit) {
  const TagRecord* tag = ServableTag(request);
  if (tag == nullptr) return kProtocolFailed;
  if (tag->bit == kNoBit) return block(request->context, OneElementBlock(*tag));
  return bit(*tag, ProtocolFor(request->context, tag->station), GasCopy(tag->gas));
}

// Requests 5, 6, 7 and 10: 0, or the protocol's result (1 exchange failed,
// 2 station not attached).
int32_t ReadSingle(KelRequest* request);
int32_t ReadBlock(KelRequest* request);
int32_t WriteSingle(KelRequest* request);
int32_t WriteBlock(KelRequest* request);
