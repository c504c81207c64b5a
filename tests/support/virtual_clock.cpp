#include "tests/support/virtual_clock.h"

#include "tests/support/test_fault.h"

#include "platform/clock.h"

namespace {
VirtualClock* g_current = nullptr;
}  // namespace

VirtualClock::VirtualClock(uint32_t startTick) : tick_(startTick) {
  if (g_current != nullptr) FaultReport() << "two virtual clocks alive at once";
  g_current = this;
  static constexpr ClockBackend kBackend{&VirtualClock::BackendTick, &VirtualClock::BackendSleep};
  SetClockBackend(&kBackend);
}

VirtualClock::~VirtualClock() {
  SetClockBackend(nullptr);
  g_current = nullptr;
}

void VirtualClock::Advance(uint32_t ms) {
  tick_ += ms;  // unsigned: wraps like the system's counter
  elapsed_ += ms;
  if (listener_) listener_();
}

uint32_t VirtualClock::BackendTick() { return g_current->tick_; }

void VirtualClock::BackendSleep(uint32_t ms) {
  g_current->sleeps_.push_back(ms);
  g_current->Advance(ms);
}
