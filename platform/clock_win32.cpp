#include <windows.h>

#include "platform/clock.h"

namespace {

uint32_t NativeTick() { return GetTickCount(); }
void NativeSleep(uint32_t ms) { Sleep(ms); }

constexpr ClockBackend kNative{NativeTick, NativeSleep};
const ClockBackend* g_clock = nullptr;

}  // namespace

const ClockBackend& NativeClockBackend() { return kNative; }
void SetClockBackend(const ClockBackend* backend) { g_clock = backend; }
uint32_t TickCount() { return (g_clock ? g_clock : &kNative)->tickCount(); }
void SleepMs(uint32_t ms) { (g_clock ? g_clock : &kNative)->sleepMs(ms); }
