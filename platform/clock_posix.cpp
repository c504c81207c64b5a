#include <errno.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

uint32_t NativeTick() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

// The sleep ends at a deadline on the monotonic clock, so an interrupted
// wait goes on toward the same deadline. It waits on a timer descriptor:
// its expiry is exact, while nanosleep and poll may end up to the thread's
// timer slack (50 us by default) late, every time.
void NativeSleep(uint32_t ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (timer >= 0) {
    const itimerspec expiry{{0, 0}, deadline};
    if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0) {
      uint64_t expirations = 0;
      while (read(timer, &expirations, sizeof expirations) < 0 && errno == EINTR) {
      }
      close(timer);
      return;
    }
    close(timer);
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

constexpr ClockBackend kNative{NativeTick, NativeSleep};

}  // namespace

const ClockBackend& NativeClockBackend() { return kNative; }
