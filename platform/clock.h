// The driver's clock: a 32-bit millisecond uptime counter that wraps, and a
// sleep. Tests replace both with a virtual clock in which a sleep advances time.
#pragma once

#include <cstdint>

struct ClockBackend {
  uint32_t (*tickCount)();
  void (*sleepMs)(uint32_t ms);
};

uint32_t TickCount();
void SleepMs(uint32_t ms);

const ClockBackend& NativeClockBackend();
// Replaces the clock (tests); nullptr restores the native one.
void SetClockBackend(const ClockBackend* backend);
