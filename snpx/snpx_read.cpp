#include "snpx/snpx_read.h"

#include "driver/driver_context.h"
#include "platform/clock.h"
#include "platform/host_log.h"
#include "requests/access.h"
#include "serial/frame.h"
#include "snp/attach.h"
#include "snpx/snpx_frames.h"

bool SnpxPrepareTry(DriverContext* context, int32_t station, const char* snpId, int attempt) {
  if (attempt > 0) {
    SleepMs(kSnpxRetryPauseMs);
    if (AttachStation(context, station, snpId) == 0) return false;
  }
  if (context->attachedStation != station && AttachStation(context, station, snpId) == 0) return false;
  return true;
}

int SnpxExchange(DriverContext* context, const uint8_t* frame, uint16_t count, uint8_t* response) {
  SendExact(context, frame, count);
  PurgeInput(context->port);
  return SnpxGetResponse(context, response);
}

int32_t SnpxRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 uint16_t* values) {
  const uint16_t needed = WriteDataLength(access);
  // No parsed tag asks for more than a response can carry.
  if (needed > kSnpxMaxData) return kProtocolFailed;

  uint8_t request[kSnpxBufferSize];
  uint8_t response[kSnpxBufferSize];
  BuildSnpxRequest(SnpxRequest{snpId, kSnpxRead, access->selector, access->index, access->length, 0, 0, 0}, request);

  int32_t result = kProtocolOk;
  for (int attempt = 0; attempt < kSnpxTries; ++attempt) {
    if (!SnpxPrepareTry(context, station, snpId, attempt)) {
      result = kProtocolNotAttached;
      continue;
    }
    // A response with less data than the descriptor covers fails the try, so
    // that no stale buffer bytes reach the host's values.
    if (!SnpxExchange(context, request, kSnpxRequestSize, response) ||
        (ReadLe16(response + kSnpxResponseStatus) == 0 && ReadLe16(response + kSnpxResponseLength) < needed)) {
      KEL_LOG(kLevelInfo, "kelg1: Fail returned from SnpxGetResponse");
      result = kProtocolFailed;
      continue;
    }
    const uint16_t status = ReadLe16(response + kSnpxResponseStatus);
    if (status == 0) {
      UnpackReadData(access, values, response + kSnpxResponseData);
      return kProtocolOk;
    }
    KEL_LOG(kLevelInfo, "kelG1: SNPX Error Code 0x%04X from Station %s", status, snpId);
    result = kProtocolFailed;
  }
  return result;
}
