#include "snp/snp_write.h"

#include <algorithm>
#include <cstring>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "exchange/frame.h"
#include "platform/host_log.h"
#include "snp/attach.h"

void SnpSendMailboxWithText(DriverContext* context, uint8_t code, const uint8_t (&requestBytes)[kRequestBytes],
                            uint16_t dataLength, uint16_t textLength) {
  uint8_t body[kMailboxBodySize] = {0x00, 0x01};
  WriteLe16(body + 2, dataLength);
  body[8] = 0x01;
  body[9] = 0x01;
  body[10] = code;
  std::memcpy(body + 11, requestBytes, 5);
  const uint8_t trailer[kMailboxTrailerSize] = {kTextBufferType, static_cast<uint8_t>(textLength & 0xFF),
                                                static_cast<uint8_t>(textLength >> 8), 0x00};
  uint8_t frame[kMailboxSize];
  BuildMailbox(frame, kMailboxWithText, kSegmentDefault, body, trailer);
  SendExact(context, frame, kMailboxSize);
}

uint16_t BuildTextBuffer(std::span<uint8_t, kTextBufferSize> buffer, std::span<const uint8_t> data, uint8_t nextType,
                         uint16_t nextLength) {
  if (data.size() > kTextMaxData) return 0;
  const auto dataLength = static_cast<uint16_t>(data.size());
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  buffer[0] = kEsc;
  buffer[1] = kTextBufferType;
  std::copy(data.begin(), data.end(), buffer.begin() + kTextData);
  uint8_t* trailer = buffer.data() + kTextData + dataLength;
  trailer[0] = kEtb;
  trailer[1] = nextType;
  WriteLe16(trailer + 2, nextLength);
  trailer[4] = 0x00;
  const uint16_t covered = static_cast<uint16_t>(dataLength + kTextFraming - 1);
  buffer[covered] = ComputeBcc(buffer.data(), covered);
  return static_cast<uint16_t>(dataLength + kTextFraming);
}

bool SnpSendTextBuffer(DriverContext* context, std::span<const uint8_t> data, uint8_t nextType, uint16_t nextLength) {
  uint8_t buffer[kTextBufferSize];
  const uint16_t length = BuildTextBuffer(buffer, data, nextType, nextLength);
  if (length == 0) return false;
  SendExact(context, buffer, length);
  return true;
}

namespace {

// Attach, then PLC Short Status and Change Privilege Level: what every write
// sends after an attach it makes, and on every retry.
int32_t AttachForWrite(DriverContext* context, int32_t station, const char* snpId) {
  if (AttachStation(context, station, snpId) == 0) return kProtocolNotAttached;
  if (!SnpShortStatus(context)) {
    KEL_LOG(kLevelFault, "KELG1: PLC %d: Short Status Request failed!", static_cast<int>(station));
    return kProtocolFailed;
  }
  if (!SnpChangePrivilege(context)) {
    KEL_LOG(kLevelFault, "KELG1: PLC %d: Change Privilage Level failed!", static_cast<int>(station));
    return kProtocolFailed;
  }
  return kProtocolOk;
}

int32_t WriteTry(DriverContext* context, const AccessDescriptor* access, const uint8_t* data, uint16_t count) {
  uint8_t requestBytes[kRequestBytes] = {access->selector};
  WriteLe16(requestBytes + kRequestIndex, access->index);
  WriteLe16(requestBytes + kRequestLength, access->length);
  if (count > kSnpMailboxWriteMax) {
    SnpSendMailboxWithText(context, kSnpWrite, requestBytes, count, static_cast<uint16_t>(count + kTextFraming));
    if (!SnpGetAck(context)) return kProtocolFailed;
    if (!SnpSendTextBuffer(context, std::span<const uint8_t>(data, count), 0, 0)) return kProtocolFailed;
    if (!SnpGetAck(context)) return kProtocolFailed;
  } else {
    if (access->mode == kModeBit) {
      const unsigned shift = access->bit < 8 ? access->bit : access->bit - 8u;
      requestBytes[kRequestData] = static_cast<uint8_t>(data[0] << shift);
    } else {
      std::memcpy(requestBytes + kRequestData, data, count);
    }
    SnpSendMailbox(context, kSnpWrite, requestBytes);
    if (!SnpGetAck(context)) {
      KEL_LOG(kLevelFault, "KELG1: No ack received after Mailbox w/h textbuffer");
      return kProtocolFailed;
    }
  }
  return SnpGetResponse(context, kSnpWrite, access, nullptr) ? kProtocolOk : kProtocolFailed;
}

}  // namespace

int32_t SnpWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 const uint16_t* values) {
  const uint16_t count = WriteDataLength(access);
  // No parsed tag writes more than one text buffer carries.
  if (count > kTextMaxData) return kProtocolFailed;
  const auto* data = reinterpret_cast<const uint8_t*>(values);
  return RunTries(
      context, station, kSnpWritePlan, [&] { return AttachForWrite(context, station, snpId); },
      [&] { return WriteTry(context, access, data, count); });
}
