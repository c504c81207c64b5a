#include "snp/attach.h"

#include <cstring>

#include "context/driver_context.h"
#include "exchange/frame.h"
#include "platform/clock.h"
#include "platform/host_log.h"

void EncodeBccHex(uint8_t bcc, uint8_t (&digits)[2]) {
  constexpr char kHex[] = "0123456789ABCDEF";
  digits[0] = static_cast<uint8_t>(kHex[bcc >> 4]);
  digits[1] = static_cast<uint8_t>(kHex[bcc & 0x0F]);
}

void BuildSnpAttachRequest(const char* snpId, uint8_t (&frame)[kAttachFrameSize]) {
  std::memset(frame, 0, sizeof frame);
  frame[0] = kEsc;
  frame[1] = 'A';
  // Seven bytes of the ID as stored: an 8-character ID loses its last one.
  std::memcpy(frame + 2, snpId, 7);
  std::memcpy(frame + 10, "0A000   ", 8);
  frame[18] = kEtb;
  uint8_t digits[2];
  EncodeBccHex(ComputeBcc(frame, kAttachBccOffset), digits);
  frame[kAttachBccOffset] = digits[0];
  frame[kAttachBccOffset + 1] = digits[1];
}

void SnpSendAttach(DriverContext* context, const char* snpId) {
  uint8_t frame[kAttachFrameSize];
  BuildSnpAttachRequest(snpId, frame);
  SendExact(context, frame, sizeof frame);
}

int SnpGetAttachResponse(DriverContext* context) {
  uint8_t response[kAttachFrameSize] = {};
  SetReadTimeout(context->port, context->attachWait);
  const int received = ReceiveExact(context, response, sizeof response);
  SetReadTimeout(context->port, context->readTimeout);
  if (!received) return 0;
  uint8_t digits[2];
  EncodeBccHex(ComputeBcc(response, kAttachBccOffset), digits);
  if (response[kAttachBccOffset] == digits[0] && response[kAttachBccOffset + 1] == digits[1]) return 1;
  KEL_LOG(kLevelFault, "KELG1: BCC Error in Attach Response Message");
  return 0;
}

int AttachStation(DriverContext* context, int32_t station, const char* snpId) {
  // An SNP attach ends any SNPX broadcast attach: the next SNPX exchange
  // broadcasts again.
  context->snpxAttached = 0;
  if (station == context->attachedStation && RecentlyActive(context, kSnpReuseWindowMs)) return 1;
  for (int attempt = 1; attempt <= kSnpAttachTries; ++attempt) {
    SendLineBreak(context);
    SleepMs(kPauseAfterBreakMs);
    SnpSendAttach(context, snpId);
    if (SnpGetAttachResponse(context) == 1) {
      context->attachedStation = station;
      return 1;
    }
    KEL_LOG(kLevelFault, "KELG1: Failed to receive Attach response. PLC=%d, retry=%d", static_cast<int>(station), attempt);
  }
  return 0;
}
