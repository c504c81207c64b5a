// A virtual clock behind the driver's clock: TickCount reads it, SleepMs
// advances it at once. While one is alive it replaces the native clock.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

class VirtualClock {
 public:
  // Far from 0, since a last-activity tick of 0 means "none yet".
  static constexpr uint32_t kDefaultStartTick = 1'000'000;

  explicit VirtualClock(uint32_t startTick = kDefaultStartTick);
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  // The 32-bit millisecond counter the driver sees; it wraps.
  uint32_t Tick() const { return tick_; }
  // Milliseconds passed since the clock was made (never wraps).
  uint64_t Elapsed() const { return elapsed_; }
  // Lets time pass; the listener (the fake line) hears of it.
  void Advance(uint32_t ms);
  // The durations of the driver's sleeps, in order.
  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }
  void OnAdvance(std::function<void()> listener) { listener_ = std::move(listener); }

 private:
  static uint32_t BackendTick();
  static void BackendSleep(uint32_t ms);

  uint32_t tick_;
  uint64_t elapsed_ = 0;
  std::vector<uint32_t> sleeps_;
  std::function<void()> listener_;
};
