#include "exchange/frame.h"

#include "context/driver_context.h"
#include "platform/clock.h"

int SendExact(DriverContext* context, const uint8_t* bytes, uint32_t count) {
  PurgeInput(context->port);
  uint32_t written = 0;
  const int result = SerialWrite(context->port, bytes, count, &written);
  return result == kSerialOk && written == count ? 1 : 0;
}

int ReceiveExact(DriverContext* context, uint8_t* buffer, uint16_t count) {
  uint16_t received = 0;
  const int result = SerialReadExact(context->port, buffer, count, &received);
  return result == kSerialOk && received == count ? 1 : 0;
}

int SendLineBreak(DriverContext* context) {
  SendBreak(kLineBreakMs, context->port);
  return 0;
}

uint8_t ComputeBcc(const uint8_t* bytes, uint16_t count) {
  uint8_t bcc = 0;
  for (uint16_t i = 0; i < count; ++i) {
    bcc = static_cast<uint8_t>(bcc ^ bytes[i]);
    bcc = static_cast<uint8_t>((bcc << 1) | (bcc >> 7));
  }
  return bcc;
}

int SendAckNak(DriverContext* context, int code) {
  uint8_t frame[2] = {kAckByte, 0x00};
  switch (code) {
    case kNakBcc: frame[0] = kNakByte; frame[1] = 0x00; break;
    case kNakUnused: frame[0] = kNakByte; frame[1] = 0x01; break;
    case kNakSequence: frame[0] = kNakByte; frame[1] = 0x02; break;
    default: break;
  }
  SendExact(context, frame, sizeof frame);
  // Stamped even when the send failed: the attach reuse window follows the
  // driver's own activity on the line.
  context->lastAckTick = TickCount();
  return 0;
}

bool RecentlyActive(const DriverContext* context, uint32_t windowMs) {
  // The difference is unsigned, so a wrap of the tick counter is harmless.
  return context->lastAckTick != 0 && TickCount() - context->lastAckTick < windowMs;
}
