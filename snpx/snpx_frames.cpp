#include "snpx/snpx_frames.h"

#include <cstring>

#include "driver/driver_context.h"
#include "platform/host_log.h"
#include "requests/access.h"
#include "serial/frame.h"

void BuildSnpxRequest(const SnpxRequest& request, uint8_t* frame) {
  std::memset(frame, 0, kSnpxRequestSize);
  frame[0] = kEsc;
  frame[1] = kSnpxRequestType;
  if (request.snpId != nullptr) {
    std::memcpy(frame + 2, request.snpId, 8);
  } else {
    std::memset(frame + 2, 0xFF, 8);
  }
  frame[10] = request.code;
  frame[11] = request.selector;
  WriteLe16(frame + 12, request.index);
  WriteLe16(frame + 14, request.length);
  WriteLe16(frame + 16, request.data);
  frame[18] = kEtb;
  frame[19] = request.nextType;
  WriteLe16(frame + 20, request.nextLength);
  frame[23] = ComputeBcc(frame, 23);
}

void BuildSnpxBroadcastAttach(uint8_t* frame) {
  BuildSnpxRequest(SnpxRequest{nullptr, kSnpxAttach, 0, 0, 0, 0, 0, 0}, frame);
}

uint16_t BuildSnpxDataFrame(const uint8_t* data, uint16_t count, uint8_t* frame) {
  std::memset(frame, 0, static_cast<size_t>(count) + 8);
  frame[0] = kEsc;
  frame[1] = kSnpxDataType;
  std::memcpy(frame + 2, data, count);
  frame[2 + count] = kEtb;
  frame[7 + count] = ComputeBcc(frame, static_cast<uint16_t>(count + 7));
  return static_cast<uint16_t>(count + 8);
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

void UnpackReadData(const AccessDescriptor* access, uint16_t* values, const uint8_t* data) {
  auto word = [data](uint32_t k) { return ReadLe16(data + 2 * k); };
  switch (access->mode) {
    case kModeBit:
      values[0] = static_cast<uint16_t>((data[0] >> (access->bit % 8)) & 1);
      break;
    case kModeWord:
      if (IsWordSelector(access->selector)) {
        if (access->length == 1 && access->bit != kNoBit) {
          values[0] = static_cast<uint16_t>((word(0) >> (access->bit & 15)) & 1);
        } else {
          for (uint32_t k = 0; k < access->length; ++k) values[k] = word(k);
        }
      } else {
        for (uint32_t k = 0; k < access->length / 2u; ++k) values[k] = word(k);
      }
      break;
    case kModeDoubleWord:
      for (uint32_t k = 0; k < access->length; ++k) values[k] = word(k);
      break;
    default:
      break;
  }
}

uint16_t WriteDataLength(const AccessDescriptor* access) {
  if (access->mode == kModeBit) return 1;
  if (access->mode == kModeDoubleWord) return static_cast<uint16_t>(static_cast<uint16_t>(4 * access->length) / 2);
  // The byte selectors count bytes already.
  if (access->mode == kModeWord && IsByteSelector(access->selector)) return access->length;
  return static_cast<uint16_t>(2 * access->length);
}
