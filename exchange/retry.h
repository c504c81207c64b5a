// The try loop of every read and write of both protocols. A try begins with
// the station attached: from the second try on after a pause and an attach in
// any case, and in every try when another station is the attached one.
#pragma once

#include <cstdint>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "platform/clock.h"
#include "serial/serial_port.h"

struct RetryPlan {
  int tries;
  uint32_t pauseMs;          // before each try after the first
  bool purgeBeforePause;     // discard what arrived since the failed try
};

// attach() and tryOnce() return a protocol result. The loop ends at the
// first try that succeeds; otherwise the result is that of the last step
// taken: kProtocolNotAttached (or the attach's own failure) when the last try
// could not attach, the try's result otherwise. Neither callable is copied.
template <typename Attach, typename Try>
int32_t RunTries(DriverContext* context, int32_t station, const RetryPlan& plan, Attach&& attach, Try&& tryOnce) {
  int32_t result = kProtocolOk;
  for (int attempt = 1; attempt <= plan.tries; ++attempt) {
    if (attempt > 1) {
      if (plan.purgeBeforePause) PurgeInput(context->port);
      SleepMs(plan.pauseMs);
      result = attach();
      if (result != kProtocolOk) continue;
    }
    if (context->attachedStation != station) {
      result = attach();
      if (result != kProtocolOk) continue;
    }
    result = tryOnce();
    if (result == kProtocolOk) break;
  }
  return result;
}
