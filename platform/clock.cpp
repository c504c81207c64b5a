#include "platform/clock.h"

namespace {
const ClockBackend* g_clock = nullptr;
const ClockBackend& Clock() { return g_clock ? *g_clock : NativeClockBackend(); }
}  // namespace

void SetClockBackend(const ClockBackend* backend) { g_clock = backend; }
uint32_t TickCount() { return Clock().tickCount(); }
void SleepMs(uint32_t ms) { Clock().sleepMs(ms); }
