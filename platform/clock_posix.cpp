#include <errno.h>
#include <time.h>

#include "platform/clock.h"

namespace {

uint32_t NativeTick() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void NativeSleep(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // An interrupted sleep goes on for the time that is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

constexpr ClockBackend kNative{NativeTick, NativeSleep};

}  // namespace

const ClockBackend& NativeClockBackend() { return kNative; }
