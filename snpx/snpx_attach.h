// The SNPX broadcast attach: one request that every SNPX station on the line
// takes and none answers.
#pragma once

#include <cstdint>

struct DriverContext;

constexpr uint32_t kSnpxReuseWindowMs = 4900;
constexpr uint32_t kSnpxPauseAfterBreakMs = 100;
constexpr uint32_t kPauseAfterBroadcastMs = 100;

// Always 1: nothing answers a broadcast, so nothing can fail.
int SnpxBroadcastAttach(DriverContext* context, int32_t station);
