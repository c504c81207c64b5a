#include <windows.h>

#include "platform/clock.h"

namespace {

uint32_t NativeTick() { return GetTickCount(); }
void NativeSleep(uint32_t ms) { Sleep(ms); }

constexpr ClockBackend kNative{NativeTick, NativeSleep};

}  // namespace

const ClockBackend& NativeClockBackend() { return kNative; }
