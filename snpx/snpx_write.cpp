#include "snpx/snpx_write.h"

#include <cstring>

#include "driver/driver_context.h"
#include "platform/host_log.h"
#include "requests/access.h"
#include "serial/frame.h"
#include "snpx/snpx_frames.h"
#include "snpx/snpx_read.h"

namespace {

uint16_t ShortWriteData(const AccessDescriptor* access, const uint8_t* data, uint16_t count) {
  if (IsBitSelector(access->selector)) {
    const uint16_t value = ReadLe16(data);
    return value != 0 ? static_cast<uint16_t>(1u << (access->index % 8)) : 0;
  }
  uint8_t bytes[2] = {};
  std::memcpy(bytes, data, count);
  return ReadLe16(bytes);
}

// One try of a long write: the request frame announcing the data frame, then
// the data frame once the PLC has accepted the request.
int32_t LongWriteTry(DriverContext* context, const char* snpId, const AccessDescriptor* access, const uint8_t* data,
                     uint16_t count, uint8_t* request, uint8_t* response) {
  const uint16_t units = IsWordSelector(access->selector) ? static_cast<uint16_t>(count / 2) : count;
  BuildSnpxRequest(SnpxRequest{snpId, kSnpxWrite, access->selector, access->index, units, 0, kSnpxDataType,
                               static_cast<uint16_t>(count + 8)},
                   request);
  if (!SnpxExchange(context, request, kSnpxRequestSize, response)) {
    KEL_LOG(kLevelInfo, "kelg1: FAIL returned from SnpxGetResponse");
    return kProtocolFailed;
  }
  uint16_t status = ReadLe16(response + kSnpxResponseStatus);
  if (status != 0) {
    KEL_LOG(kLevelFault, "kelg1: ErrorStatusCode 0x%04X on write with follow on request", status);
    return kProtocolFailed;
  }
  const uint16_t frameLength = BuildSnpxDataFrame(data, count, request);
  if (!SnpxExchange(context, request, frameLength, response)) {
    KEL_LOG(kLevelInfo, "kelg1: FAIL returned from SnpxGetResponse");
    return kProtocolFailed;
  }
  status = ReadLe16(response + kSnpxResponseStatus);
  if (status != 0) {
    KEL_LOG(kLevelInfo, "kelG1: SNPX Error Code 0x%04X from Station %s", status, snpId);
    return kProtocolFailed;
  }
  return kProtocolOk;
}

// One try of a short write or a word read: one frame, one response.
int32_t SingleFrameTry(DriverContext* context, const char* snpId, const uint8_t* request, uint8_t* response) {
  if (!SnpxExchange(context, request, kSnpxRequestSize, response)) {
    KEL_LOG(kLevelInfo, "kelg1: Fail returned from SnpxGetResponse");
    return kProtocolFailed;
  }
  const uint16_t status = ReadLe16(response + kSnpxResponseStatus);
  if (status != 0) {
    KEL_LOG(kLevelInfo, "kelG1: SNPX Error Code 0x%04X from Station %s", status, snpId);
    return kProtocolFailed;
  }
  return kProtocolOk;
}

}  // namespace

int32_t SnpxWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                  const uint16_t* values) {
  const uint16_t count = WriteDataLength(access);
  // No parsed tag writes more than one data frame can carry.
  if (count > kSnpxMaxData) return kProtocolFailed;
  const auto* data = reinterpret_cast<const uint8_t*>(values);

  uint8_t request[kSnpxBufferSize];
  uint8_t response[kSnpxBufferSize];
  const bool shortWrite = count <= kSnpxShortWriteMax;
  if (shortWrite) {
    const uint16_t units = IsWordSelector(access->selector) || IsBitSelector(access->selector) ? 1 : count;
    BuildSnpxRequest(SnpxRequest{snpId, kSnpxWrite, access->selector, access->index, units,
                                 ShortWriteData(access, data, count), 0, 0},
                     request);
  }

  int32_t result = kProtocolOk;
  for (int attempt = 0; attempt < kSnpxTries; ++attempt) {
    if (!SnpxPrepareTry(context, station, snpId, attempt)) {
      result = kProtocolNotAttached;
      continue;
    }
    result = shortWrite ? SingleFrameTry(context, snpId, request, response)
                        : LongWriteTry(context, snpId, access, data, count, request, response);
    if (result == kProtocolOk) break;
  }
  return result;
}

int32_t SnpxReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word) {
  DriverContext* context = request->context;
  char snpId[kSnpIdSlotSize];
  const int32_t station = TagStation(request, snpId);

  uint8_t frame[kSnpxBufferSize];
  uint8_t response[kSnpxBufferSize];
  BuildSnpxRequest(SnpxRequest{snpId, kSnpxRead, access->selector, access->index, 1, 0, 0, 0}, frame);

  int32_t result = kProtocolOk;
  for (int attempt = 0; attempt < kSnpxTries; ++attempt) {
    if (!SnpxPrepareTry(context, station, snpId, attempt)) {
      result = kProtocolNotAttached;
      continue;
    }
    result = SingleFrameTry(context, snpId, frame, response);
    if (result == kProtocolOk) {
      // A good status with no data word leaves the caller's word alone.
      if (ReadLe16(response + kSnpxResponseLength) < 2) {
        KEL_LOG(kLevelInfo, "kelg1: Fail returned from SnpxGetResponse");
        result = kProtocolFailed;
        continue;
      }
      *word = ReadLe16(response + kSnpxResponseData);
      break;
    }
  }
  return result;
}
