#include "snpx/snpx_attach.h"

#include "context/driver_context.h"
#include "exchange/frame.h"
#include "platform/clock.h"
#include "snpx/snpx_frames.h"

int SnpxBroadcastAttach(DriverContext* context, int32_t station) {
  // One broadcast attach serves every SNPX station, so the station is not
  // compared while the window lasts.
  if (context->snpxAttached == 1 && RecentlyActive(context, kSnpxReuseWindowMs)) return 1;
  PurgeInput(context->port);
  SendLineBreak(context);
  SleepMs(kSnpxPauseAfterBreakMs);
  uint8_t frame[kSnpxRequestSize];
  BuildSnpxBroadcastAttach(frame);
  SendExact(context, frame, sizeof frame);
  SleepMs(kPauseAfterBroadcastMs);
  PurgeInput(context->port);  // whatever the stations sent back
  context->attachedStation = station;
  context->snpxAttached = 1;
  return 1;
}
