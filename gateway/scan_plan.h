// The scan's block reads: which driver block requests a cycle makes (the
// planner, a pure function), and when each is due (the schedule).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "gateway/fair_queue.h"
#include "gateway/scan_config.h"

namespace kelgate {

// One driver block read. Word areas: `words` elements from `first`. Bit
// areas: `words` words of 16 bits, `first` being the element of bit 0 of
// the first word (1, 17, 33, ...), as the driver reads discrete memory.
struct ScanBlock {
  int station = 0;
  const Area* area = nullptr;
  uint32_t first = 1;
  uint32_t words = 1;
  uint32_t intervalMs = kDefaultIntervalMs;

  // Elements the block covers: first..LastElement().
  uint32_t LastElement() const { return first + words * (area->bits ? 16 : 1) - 1; }
  bool operator==(const ScanBlock& other) const = default;
};

// Ranges this many words apart or closer are read as one block: the words
// between cost less line time than a further request and its reply, each
// with the frame's overhead and the PLC's turnaround.
constexpr uint32_t kMergeGapWords = 16;

// The fewest blocks that read every group on every station it covers:
// ranges of one station, area and interval that overlap or lie within
// `gapWords` of each other are merged, up to the station's block limit;
// longer ranges are split at it. Ordered station by station (so each
// station is attached once per cycle), then by area and first element.
// Groups of stations that are not in `stations` are left out.
std::vector<ScanBlock> PlanScan(const std::vector<ScanGroup>& groups, const std::vector<StationInfo>& stations,
                                uint32_t gapWords = kMergeGapWords);

// When each block is due: a block is read once per interval, measured from
// the start of the cycle that read it last.
class ScanSchedule {
 public:
  ScanSchedule(std::vector<ScanBlock> blocks, Clock::time_point start);
  const std::vector<ScanBlock>& Blocks() const { return blocks_; }
  // Indexes of the blocks due at `now`, in plan order.
  std::vector<size_t> Due(Clock::time_point now) const;
  // The block was read (or skipped) in the cycle that began at `at`: due
  // again one interval later.
  void Done(size_t block, Clock::time_point at);
  // The earliest time a block is due; max() without blocks.
  Clock::time_point Next() const;

 private:
  std::vector<ScanBlock> blocks_;
  std::vector<Clock::time_point> due_;
};

}  // namespace kelgate
