#include <algorithm>
#include <cstring>

#include "context/driver_context.h"
#include "exchange/frame.h"
#include "platform/host_log.h"
#include "snp/mailbox.h"

void BuildMailbox(std::span<uint8_t, kMailboxSize> frame, uint8_t type, uint8_t segment,
                  std::span<const uint8_t, kMailboxBodySize> body, std::span<const uint8_t, kMailboxTrailerSize> trailer) {
  std::fill(frame.begin(), frame.end(), uint8_t{0});
  frame[0] = kEsc;
  frame[1] = 'M';
  frame[kMailboxType] = type;
  frame[10] = 0x10;
  frame[11] = 0x3A;
  frame[14] = 0x10;
  frame[kMailboxSegment] = segment;
  std::copy(body.begin(), body.end(), frame.begin() + kMailboxBody);
  frame[kMailboxEtb] = kEtb;
  std::copy(trailer.begin(), trailer.end(), frame.begin() + kMailboxTrailer);
  frame[kMailboxBcc] = ComputeBcc(frame.data(), kMailboxBcc);
}

bool MailboxBccOk(std::span<const uint8_t, kMailboxSize> frame) {
  return ComputeBcc(frame.data(), kMailboxBcc) == frame[kMailboxBcc];
}

bool ReceiveMailboxReply(DriverContext* context, uint8_t (&reply)[kMailboxSize], const char* noReply,
                         const char* badBcc) {
  if (!ReceiveExact(context, reply, kMailboxSize)) {
    KEL_LOG(kLevelFault, noReply, context->gasText);
    return false;
  }
  if (!MailboxBccOk(reply)) {
    SendAckNak(context, kNakBcc);
    KEL_LOG(kLevelFault, badBcc, context->gasText);
    return false;
  }
  // The reply is acknowledged before its type is examined, so the PLC sees
  // an ACK even for an error nack.
  SendAckNak(context, kAck);
  return true;
}

void SnpSendMailbox(DriverContext* context, uint8_t code, const uint8_t (&requestBytes)[kRequestBytes]) {
  uint8_t body[kMailboxBodySize] = {0x01, 0x01, code};
  std::memcpy(body + 3, requestBytes, kRequestBytes);
  const uint8_t trailer[kMailboxTrailerSize] = {};
  uint8_t frame[kMailboxSize];
  BuildMailbox(frame, kMailboxNoText, kSegmentDefault, body, trailer);
  SendExact(context, frame, kMailboxSize);
}

int SnpGetAck(DriverContext* context) {
  uint8_t answer[2] = {};
  if (!ReceiveExact(context, answer, 2)) {
    KEL_LOG(kLevelFault, "KELG1: Could not read Ack / NAk message ");
    return 0;
  }
  if (answer[0] == kAckByte && answer[1] == 0x00) return 1;
  if (answer[0] == kNakByte) {
    KEL_LOG(kLevelInfo, "KelG1 : A NAK message received.");
    return 0;
  }
  KEL_LOG(kLevelFault, "KelG1:Illegal message was received for Ack/Nak msg. GAS=%s", context->gasText);
  return 0;
}

void LogErrorCodes(const uint8_t (&reply)[kMailboxSize]) {
  KEL_LOG(kLevelFault, "KELG1: Major ERRCODE = %x, Minor ERRCODE = %x", reply[kReplyMajorError],
          reply[kReplyMinorError]);
}

namespace {

// The messages are handed to the host's err as its format, like every other
// literal; none of them holds a '%'.
struct ControlExchange {
  uint8_t segment;
  uint8_t body[kMailboxBodySize];
  const char* noAck;
  const char* noReply;
  const char* badBcc;
  const char* errorNack;
  const char* illegal;
};

constexpr ControlExchange kShortStatus = {
    kSegmentShortStatus,
    {0x01, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0xE8, 0x03, 0x01},  // 1000, least significant byte first, then 1
    "KELG1: Ack not received for PLC Short Status request!",
    "KELG1:Could not read PLC Short Status!",
    "KELG1:BCC Error in PLC Short Status!",
    "KELG1: Error Nack received for PLC Short Status!",
    "KELG1: Illegal reply for PLC Short Status!",
};

constexpr ControlExchange kChangePrivilege = {
    kSegmentDefault,
    {0x01, 0x01, 0x21, 0x04},  // change privilege level to 4
    "KELG1: Ack not received for Change privilage Level!",
    "KELG1: Could not read Change Priv. Level response!",
    "KELG1: BCC Error in Change Priv. Level Response!",
    "KELG1:Error Nack received for Change Priv. Level response!",
    "KELG1: Illegal reply for Change Priv. Level response!",
};

int RunControlExchange(DriverContext* context, const ControlExchange& exchange) {
  const uint8_t trailer[kMailboxTrailerSize] = {};
  uint8_t frame[kMailboxSize];
  BuildMailbox(frame, kMailboxNoText, exchange.segment, exchange.body, trailer);
  SendExact(context, frame, kMailboxSize);
  if (!SnpGetAck(context)) {
    KEL_LOG(kLevelFault, exchange.noAck);
    return 0;
  }
  uint8_t reply[kMailboxSize] = {};
  if (!ReceiveMailboxReply(context, reply, exchange.noReply, exchange.badBcc)) return 0;
  if (reply[kMailboxType] == kReplyDone) return 1;
  if (reply[kMailboxType] == kReplyErrorNack) {
    KEL_LOG(kLevelFault, exchange.errorNack);
    LogErrorCodes(reply);
    return 0;
  }
  KEL_LOG(kLevelInfo, exchange.illegal);
  return 0;
}

}  // namespace

int SnpShortStatus(DriverContext* context) { return RunControlExchange(context, kShortStatus); }

int SnpChangePrivilege(DriverContext* context) { return RunControlExchange(context, kChangePrivilege); }
