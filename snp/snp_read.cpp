#include "snp/snp_read.h"

#include <cstring>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "exchange/frame.h"
#include "exchange/tag_station.h"
#include "platform/host_log.h"
#include "snp/attach.h"
#include "snp/mailbox.h"

void BuildReadRequestBytes(const AccessDescriptor* access, uint8_t (&requestBytes)[kRequestBytes]) {
  std::memset(requestBytes, 0, kRequestBytes);
  requestBytes[kRequestSelector] = access->selector;
  WriteLe16(requestBytes + kRequestIndex, access->index);
  WriteLe16(requestBytes + kRequestLength, access->length);
}

int32_t SnpAttachForRead(DriverContext* context, int32_t station, const char* snpId) {
  return AttachStation(context, station, snpId) != 0 ? kProtocolOk : kProtocolNotAttached;
}

namespace {

int IllegalReadReply() {
  KEL_LOG(kLevelFault, "KELG1:Illegal response for read received from PLC!");
  return 0;
}

// Receives the text buffers that follow a 0x94 reply, the first of length
// length. Each buffer's data is placed right after the data of the one before,
// up to what the descriptor covers; the read succeeds only when all of it came.
int ReceiveTextBuffers(DriverContext* context, uint16_t length, const AccessDescriptor* access, uint16_t* values) {
  const uint16_t needed = WriteDataLength(access);
  uint8_t staging[kSnpStagingSize] = {};
  uint16_t stored = 0;
  uint8_t buffer[kTextBufferSize];
  int count = 0;
  if (length == 0) return IllegalReadReply();
  while (length > 0) {
    if (++count > kMaxTextBuffers) {
      KEL_LOG(kLevelInfo, "KELG1: Stuck in 'While' loop reading Text buffers. Exiting.");
      return 0;
    }
    std::memset(buffer, 0, sizeof buffer);
    if (length < kTextFraming || length > kTextBufferSize || !ReceiveExact(context, buffer, length)) {
      KEL_LOG(kLevelFault, "kelg1:Could not read Text Buffer Message");
      return 0;
    }
    if (ComputeBcc(buffer, static_cast<uint16_t>(length - 1)) != buffer[length - 1]) {
      SendAckNak(context, kNakBcc);
      KEL_LOG(kLevelFault, " KELG1: BCC Error in Text Buffer from the PLC");
      return 0;
    }
    if (buffer[1] != kTextBufferType) {
      SendAckNak(context, kNakSequence);
      KEL_LOG(kLevelFault, "KELG1:Sequence Error. Text Buffer message Expected.");
      return 0;
    }
    SendAckNak(context, kAck);
    const uint16_t dataBytes = static_cast<uint16_t>(length - kTextFraming);
    const uint16_t room = static_cast<uint16_t>(needed - stored);
    const uint16_t taken = dataBytes < room ? dataBytes : room;
    std::memcpy(staging + stored, buffer + kTextData, taken);
    stored = static_cast<uint16_t>(stored + taken);
    length = ReadLe16(buffer + length - kTextNextLengthBack);
  }
  if (stored < needed) return IllegalReadReply();
  UnpackReadData(access, values, staging);
  return 1;
}

}  // namespace

int SnpGetResponse(DriverContext* context, uint8_t code, const AccessDescriptor* access, uint16_t* values) {
  uint8_t reply[kMailboxSize] = {};
  if (!ReceiveMailboxReply(context, reply, "KELG1: Could not read slave response", "KELG1: BCC Error in slave response")) {
    return 0;
  }
  const uint8_t type = reply[kMailboxType];

  if (code == kSnpWrite) {
    if (type == kReplyDone) return 1;
    if (type == kReplyErrorNack) {
      KEL_LOG(kLevelFault, "KELG1:Error Nack received for Write! ");
      LogErrorCodes(reply);
      return 0;
    }
    KEL_LOG(kLevelInfo, "KELG1: Illegal reply from PLC for Write!");
    return 0;
  }

  if (type == kReplyDone) {
    // The mailbox carries at most six data bytes; a read that needs more
    // cannot be complete.
    if (WriteDataLength(access) > kSnpMailboxDataBytes) return IllegalReadReply();
    uint8_t staging[kSnpMailboxDataBytes + 2] = {};
    std::memcpy(staging, reply + kReplyData, kSnpMailboxDataBytes);
    UnpackReadData(access, values, staging);
    return 1;
  }
  if (type == kReplyText) return ReceiveTextBuffers(context, ReadLe16(reply + kReplyTextLength), access, values);
  if (type == kReplyErrorNack) {
    KEL_LOG(kLevelFault, "KELG1:Error Nack received for read!");
    return 0;
  }
  return IllegalReadReply();
}

int32_t SnpRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                uint16_t* values) {
  // No parsed tag reads more than the staging buffer holds.
  if (WriteDataLength(access) > kSnpStagingSize) return kProtocolFailed;
  return SnpReadTries(context, station, snpId, access, [&] {
    return SnpGetResponse(context, kSnpRead, access, values) ? kProtocolOk : kProtocolFailed;
  });
}

int32_t SnpReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word) {
  const TagStationId tag = TagStation(request);
  DriverContext* context = request->context;
  return SnpReadTries(context, tag.station, tag.snpId, access, [&] {
    uint8_t reply[kMailboxSize] = {};
    if (!ReceiveMailboxReply(context, reply, "kelg1:Could not read slave response. GAS=%s",
                             "kelg1:BCC Error in slave response")) {
      return kProtocolFailed;
    }
    if (reply[kMailboxType] == kReplyDone) {
      *word = ReadLe16(reply + kReplyData);
      return kProtocolOk;
    }
    SendAckNak(context, kNakSequence);
    KEL_LOG(kLevelFault, "kelg1:Invalid text buffer received");
    return kProtocolFailed;
  });
}
