// The native clock: a sleep never ends before its time and ends close after
// it, and the tick counter follows the monotonic clock.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/clock.h"

namespace {

using std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

TEST(NativeClock, ASleepLastsItsTimeAndLittleMore) {
  for (const uint32_t ms : {0u, 1u, 7u, 20u, 100u}) {
    SCOPED_TRACE(ms);
    const auto start = steady_clock::now();
    const uint32_t tickBefore = TickCount();
    SleepMs(ms);
    const double slept = Micros(steady_clock::now() - start).count();
    EXPECT_GE(slept, ms * 1000.0);
    // A quiet machine wakes within a tenth of a millisecond; a busy one
    // (other builds) may take a few.
    EXPECT_LT(slept, ms * 1000.0 + 10000.0);
    const uint32_t ticks = TickCount() - tickBefore;
    EXPECT_GE(ticks + 1, ms);  // the counter may tick just after the start
    EXPECT_LE(ticks, ms + 11);
  }
}

}  // namespace
