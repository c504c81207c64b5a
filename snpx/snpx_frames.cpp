#include "snpx/snpx_frames.h"

#include <algorithm>
#include <cstring>

#include "context/driver_context.h"
#include "exchange/frame.h"
#include "platform/host_log.h"

void BuildSnpxRequest(const SnpxRequest& request, std::span<uint8_t, kSnpxRequestSize> frame) {
  std::fill(frame.begin(), frame.end(), uint8_t{0});
  frame[0] = kEsc;
  frame[1] = kSnpxRequestType;
  uint8_t* id = frame.data() + kSnpxRequestId;
  if (request.snpId != nullptr) {
    std::memcpy(id, request.snpId, kSnpxIdSize);
  } else {
    std::memset(id, 0xFF, kSnpxIdSize);
  }
  frame[kSnpxRequestCode] = request.code;
  frame[kSnpxRequestSelector] = request.selector;
  WriteLe16(frame.data() + kSnpxRequestIndex, request.index);
  WriteLe16(frame.data() + kSnpxRequestLength, request.length);
  WriteLe16(frame.data() + kSnpxRequestData, request.data);
  frame[kSnpxRequestEtb] = kEtb;
  frame[kSnpxRequestNextType] = request.nextType;
  WriteLe16(frame.data() + kSnpxRequestNextLength, request.nextLength);
  frame[kSnpxRequestBcc] = ComputeBcc(frame.data(), kSnpxRequestBcc);
}

void BuildSnpxBroadcastAttach(std::span<uint8_t, kSnpxRequestSize> frame) {
  BuildSnpxRequest(SnpxRequest{nullptr, kSnpxAttach, 0, 0, 0, 0, 0, 0}, frame);
}

uint16_t BuildSnpxDataFrame(std::span<const uint8_t> data, std::span<uint8_t, kSnpxBufferSize> frame) {
  if (data.size() > kSnpxMaxData) return 0;
  const auto count = static_cast<uint16_t>(data.size());
  const uint16_t length = static_cast<uint16_t>(count + kSnpxDataFraming);
  std::fill(frame.begin(), frame.begin() + length, uint8_t{0});
  frame[0] = kEsc;
  frame[1] = kSnpxDataType;
  std::copy(data.begin(), data.end(), frame.begin() + 2);
  frame[2 + count] = kEtb;
  frame[length - 1] = ComputeBcc(frame.data(), static_cast<uint16_t>(length - 1));
  return length;
}

namespace {

int ReadResponse(DriverContext* context, uint8_t* response) {
  if (!ReceiveExact(context, response, 2)) return 0;
  if (response[0] != kEsc) return 0;
  if (response[1] != kSnpxRequestType && response[1] != kSnpxResponseTypeLower) return 0;
  if (!ReceiveExact(context, response + 2, 7)) return 0;
  const uint16_t status = ReadLe16(response + kSnpxResponseStatus);
  const uint16_t n = status == 0 ? ReadLe16(response + kSnpxResponseLength) : 0;
  // A length that cannot fit the buffer is refused before anything is read into it.
  if (n > kSnpxMaxResponseData) return 0;
  if (n != 0 && !ReceiveExact(context, response + kSnpxResponseData, n)) return 0;
  if (!ReceiveExact(context, response + kSnpxResponseData + n, 6)) return 0;
  const uint16_t covered = static_cast<uint16_t>(14 + n);
  if (ComputeBcc(response, covered) != response[covered]) {
    KEL_LOG(kLevelFault, "kelg1: BCC check failed SnpxGetResponse");
    return 0;
  }
  return 1;
}

}  // namespace

int SnpxGetResponse(DriverContext* context, uint8_t* response) {
  const int result = ReadResponse(context, response);
  PurgeInput(context->port);
  return result;
}
