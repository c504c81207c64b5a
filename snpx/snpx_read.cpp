#include "snpx/snpx_read.h"

#include "context/driver_context.h"
#include "exchange/frame.h"
#include "exchange/tag_station.h"
#include "platform/host_log.h"
#include "snpx/snpx_attach.h"

namespace {

constexpr char kNoResponse[] = "kelg1: Fail returned from SnpxGetResponse";
constexpr char kErrorCode[] = "kelG1: SNPX Error Code 0x%04X from Station %s";

}  // namespace

const SnpxExchangeMessages kSnpxMessages{kNoResponse, kLevelInfo, kErrorCode};
namespace {
constexpr char kNoResponseLongWrite[] = "kelg1: FAIL returned from SnpxGetResponse";
}  // namespace

const SnpxExchangeMessages kSnpxLongWriteMessages{kNoResponseLongWrite, kLevelFault,
                                                  "kelg1: ErrorStatusCode 0x%04X on write with follow on request"};
const SnpxExchangeMessages kSnpxDataFrameMessages{kNoResponseLongWrite, kLevelInfo, kErrorCode};

int32_t SnpxAttachForTry(DriverContext* context, int32_t station) {
  return SnpxBroadcastAttach(context, station) != 0 ? kProtocolOk : kProtocolNotAttached;
}

int SnpxExchange(DriverContext* context, std::span<const uint8_t> frame, uint8_t* response) {
  SendExact(context, frame.data(), static_cast<uint32_t>(frame.size()));
  PurgeInput(context->port);
  return SnpxGetResponse(context, response);
}

int32_t SnpxCheckedExchange(DriverContext* context, const char* snpId, std::span<const uint8_t> frame,
                            uint8_t (&response)[kSnpxBufferSize], uint16_t minData,
                            const SnpxExchangeMessages& messages) {
  // A response with less data than asked for fails the try, so that no stale
  // buffer bytes reach the host's values.
  if (!SnpxExchange(context, frame, response) ||
      (ReadLe16(response + kSnpxResponseStatus) == 0 && ReadLe16(response + kSnpxResponseLength) < minData)) {
    KEL_LOG(kLevelInfo, messages.noResponse);
    return kProtocolFailed;
  }
  const uint16_t status = ReadLe16(response + kSnpxResponseStatus);
  if (status != 0) {
    KEL_LOG(messages.statusLevel, messages.badStatus, status, snpId);
    return kProtocolFailed;
  }
  return kProtocolOk;
}

int32_t SnpxRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 uint16_t* values) {
  const uint16_t needed = WriteDataLength(access);
  // No parsed tag asks for more than a response can carry.
  if (needed > kSnpxMaxData) return kProtocolFailed;
  return SnpxReadTries(context, station, snpId, access, access->length, needed,
                       [&](const uint8_t* data) { UnpackReadData(access, values, data); });
}

int32_t SnpxReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word) {
  const TagStationId tag = TagStation(request);
  // One word is asked for whatever the descriptor's length; a good status
  // with no data word leaves the caller's word alone.
  return SnpxReadTries(request->context, tag.station, tag.snpId, access, 1, 2,
                       [&](const uint8_t* data) { *word = ReadLe16(data); });
}
