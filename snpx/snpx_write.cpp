#include "snpx/snpx_write.h"

#include <cstring>
#include <span>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "exchange/frame.h"
#include "exchange/retry.h"
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
int32_t LongWriteTry(DriverContext* context, const char* snpId, const AccessDescriptor* access,
                     std::span<const uint8_t> data) {
  const auto count = static_cast<uint16_t>(data.size());
  const uint16_t units = IsWordSelector(access->selector) ? static_cast<uint16_t>(count / 2) : count;
  uint8_t request[kSnpxRequestSize];
  BuildSnpxRequest(SnpxRequest{snpId, kSnpxWrite, access->selector, access->index, units, 0, kSnpxDataType,
                               static_cast<uint16_t>(count + kSnpxDataFraming)},
                   request);
  uint8_t response[kSnpxBufferSize];
  const int32_t result = SnpxCheckedExchange(context, snpId, request, response, 0, kSnpxLongWriteMessages);
  if (result != kProtocolOk) return result;
  uint8_t frame[kSnpxBufferSize];
  const uint16_t frameLength = BuildSnpxDataFrame(data, frame);
  if (frameLength == 0) return kProtocolFailed;
  return SnpxCheckedExchange(context, snpId, std::span<const uint8_t>(frame, frameLength), response, 0,
                             kSnpxDataFrameMessages);
}

}  // namespace

int32_t SnpxWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                  const uint16_t* values) {
  const uint16_t count = WriteDataLength(access);
  // No parsed tag writes more than one data frame can carry.
  if (count > kSnpxMaxData) return kProtocolFailed;
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(values), count);

  uint8_t request[kSnpxRequestSize];
  const bool shortWrite = count <= kSnpxShortWriteMax;
  if (shortWrite) {
    const uint16_t units = IsWordSelector(access->selector) || IsBitSelector(access->selector) ? 1 : count;
    BuildSnpxRequest(SnpxRequest{snpId, kSnpxWrite, access->selector, access->index, units,
                                 ShortWriteData(access, data.data(), count), 0, 0},
                     request);
  }
  return RunTries(
      context, station, kSnpxPlan, [&] { return SnpxAttachForTry(context, station); },
      [&] {
        if (!shortWrite) return LongWriteTry(context, snpId, access, data);
        uint8_t response[kSnpxBufferSize];
        return SnpxCheckedExchange(context, snpId, request, response, 0, kSnpxMessages);
      });
}
