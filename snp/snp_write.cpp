#include "snp/snp_write.h"

#include <cstring>

#include "driver/driver_context.h"
#include "platform/clock.h"
#include "platform/host_log.h"
#include "requests/access.h"
#include "serial/frame.h"
#include "snp/attach.h"
#include "snp/mailbox.h"
#include "snp/snp_read.h"
#include "snpx/snpx_frames.h"

void SnpSendMailboxWithText(DriverContext* context, uint8_t code, const uint8_t* requestBytes, uint16_t dataLength,
                            uint16_t textLength) {
  uint8_t body[kMailboxBodySize] = {0x00, 0x01};
  WriteLe16(body + 2, dataLength);
  body[8] = 0x01;
  body[9] = 0x01;
  body[10] = code;
  std::memcpy(body + 11, requestBytes, 5);
  const uint8_t trailer[4] = {kTextBufferType, static_cast<uint8_t>(textLength & 0xFF),
                              static_cast<uint8_t>(textLength >> 8), 0x00};
  uint8_t frame[kMailboxSize];
  BuildMailbox(frame, kMailboxWithText, 0x0A, body, trailer);
  SendExact(context, frame, kMailboxSize);
}

void SnpSendTextBuffer(DriverContext* context, uint16_t dataLength, const uint8_t* data, uint8_t nextType,
                       uint16_t nextLength) {
  uint8_t buffer[kTextBufferSize] = {};
  buffer[0] = kEsc;
  buffer[1] = kTextBufferType;
  std::memcpy(buffer + 2, data, dataLength);
  uint8_t* trailer = buffer + 2 + dataLength;
  trailer[0] = kEtb;
  trailer[1] = nextType;
  WriteLe16(trailer + 2, nextLength);
  trailer[4] = 0x00;
  const uint16_t covered = static_cast<uint16_t>(dataLength + 7);
  buffer[covered] = ComputeBcc(buffer, covered);
  SendExact(context, buffer, static_cast<uint32_t>(dataLength) + kTextFraming);
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
  WriteLe16(requestBytes + 1, access->index);
  WriteLe16(requestBytes + 3, access->length);
  if (count > kSnpMailboxWriteMax) {
    SnpSendMailboxWithText(context, kSnpWrite, requestBytes, count, static_cast<uint16_t>(count + kTextFraming));
    if (!SnpGetAck(context)) return kProtocolFailed;
    SnpSendTextBuffer(context, count, data, 0, 0);
    if (!SnpGetAck(context)) return kProtocolFailed;
  } else {
    if (access->mode == kModeBit) {
      const unsigned shift = access->bit < 8 ? access->bit : access->bit - 8u;
      requestBytes[5] = static_cast<uint8_t>(data[0] << shift);
    } else {
      std::memcpy(requestBytes + 5, data, count);
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

  int32_t result = kProtocolOk;
  for (int attempt = 1; attempt <= kSnpTries; ++attempt) {
    if (attempt > 1) {
      PurgeInput(context->port);
      SleepMs(kSnpWriteRetryPauseMs);
      result = AttachForWrite(context, station, snpId);
      if (result != kProtocolOk) continue;
    }
    if (context->attachedStation != station) {
      result = AttachForWrite(context, station, snpId);
      if (result != kProtocolOk) continue;
    }
    result = WriteTry(context, access, data, count);
    if (result == kProtocolOk) break;
  }
  return result;
}

int32_t SnpReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word) {
  DriverContext* context = request->context;
  char snpId[kSnpIdSlotSize];
  const int32_t station = TagStation(request, snpId);
  uint8_t requestBytes[kRequestBytes];
  BuildReadRequestBytes(access, requestBytes);

  int32_t result = kProtocolOk;
  for (int attempt = 1; attempt <= kSnpTries; ++attempt) {
    if (!SnpPrepareReadTry(context, station, snpId, attempt)) {
      result = kProtocolNotAttached;
      continue;
    }
    result = kProtocolFailed;
    SnpSendMailbox(context, kSnpRead, requestBytes);
    if (!SnpGetAck(context)) continue;
    uint8_t reply[kMailboxSize] = {};
    if (!ReceiveExact(context, reply, kMailboxSize)) {
      KEL_LOG(kLevelFault, "kelg1:Could not read slave response. GAS=%s", context->gasText);
      continue;
    }
    if (!MailboxBccOk(reply)) {
      SendAckNak(context, kNakBcc);
      KEL_LOG(kLevelFault, "kelg1:BCC Error in slave response");
      continue;
    }
    SendAckNak(context, kAck);
    if (reply[9] == kReplyDone) {
      *word = ReadLe16(reply + 22);
      return kProtocolOk;
    }
    SendAckNak(context, kNakSequence);
    KEL_LOG(kLevelFault, "kelg1:Invalid text buffer received");
  }
  return result;
}
