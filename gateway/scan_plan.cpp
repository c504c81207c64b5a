#include "gateway/scan_plan.h"

#include <algorithm>
#include <tuple>

namespace kelgate {
namespace {

// A range of words of one station and area: word w holds element w + 1 of
// a word area, elements 16w + 1 .. 16w + 16 of a bit area.
struct WordRange {
  int station;
  const Area* area;
  uint32_t intervalMs;
  uint32_t firstWord;
  uint32_t lastWord;
};

// Blocks of `limit` words that a run of words needs.
uint32_t BlocksFor(uint32_t firstWord, uint32_t lastWord, uint32_t limit) {
  return (lastWord - firstWord + limit) / limit;
}

}  // namespace

std::vector<ScanBlock> PlanScan(const std::vector<ScanGroup>& groups, const std::vector<StationInfo>& stations,
                                uint32_t gapWords) {
  std::vector<WordRange> ranges;
  for (const StationInfo& station : stations) {
    for (const ScanGroup& group : groups) {
      if (!group.Covers(station.number) || group.area == nullptr) continue;
      const uint32_t perWord = group.area->bits ? 16 : 1;
      ranges.push_back(
          {station.number, group.area, group.intervalMs, (group.first - 1) / perWord, (group.last - 1) / perWord});
    }
  }
  const auto key = [](const WordRange& r) {
    // Areas are ordered as the gateway lists them (one table holds them).
    return std::make_tuple(r.station, r.area, r.intervalMs, r.firstWord, r.lastWord);
  };
  std::sort(ranges.begin(), ranges.end(), [&](const WordRange& a, const WordRange& b) { return key(a) < key(b); });

  std::vector<ScanBlock> blocks;
  const auto limitOf = [&](int number) {
    for (const StationInfo& s : stations) {
      if (s.number == number) return std::max<uint32_t>(s.blockLimit, 1);
    }
    return 1u;
  };
  // Merges the sorted ranges of one station, area and interval while the
  // gaps are small, then cuts the merged run into blocks of the limit.
  const auto emit = [&](const WordRange& run) {
    const uint32_t limit = limitOf(run.station);
    const uint32_t perWord = run.area->bits ? 16 : 1;
    for (uint32_t word = run.firstWord; word <= run.lastWord; word += limit) {
      const uint32_t words = std::min(limit, run.lastWord - word + 1);
      blocks.push_back({run.station, run.area, word * perWord + 1, words, run.intervalMs});
    }
  };
  for (size_t k = 0; k < ranges.size();) {
    WordRange run = ranges[k++];
    const uint32_t limit = limitOf(run.station);
    while (k < ranges.size()) {
      const WordRange& next = ranges[k];
      if (next.station != run.station || next.area != run.area || next.intervalMs != run.intervalMs) break;
      const uint32_t lastWord = std::max(run.lastWord, next.lastWord);
      if (next.firstWord > run.lastWord + 1) {
        // Words between are read only when they are few and save a request.
        const bool close = next.firstWord - run.lastWord - 1 <= gapWords;
        const uint32_t apart =
            BlocksFor(run.firstWord, run.lastWord, limit) + BlocksFor(next.firstWord, next.lastWord, limit);
        if (!close || BlocksFor(run.firstWord, lastWord, limit) >= apart) break;
      }
      run.lastWord = lastWord;
      ++k;
    }
    emit(run);
  }
  return blocks;
}

ScanSchedule::ScanSchedule(std::vector<ScanBlock> blocks, Clock::time_point start)
    : blocks_(std::move(blocks)), due_(blocks_.size(), start) {}

std::vector<size_t> ScanSchedule::Due(Clock::time_point now) const {
  std::vector<size_t> due;
  for (size_t k = 0; k < blocks_.size(); ++k) {
    if (due_[k] <= now) due.push_back(k);
  }
  return due;
}

void ScanSchedule::Done(size_t block, Clock::time_point at) {
  due_[block] = at + std::chrono::milliseconds(blocks_[block].intervalMs);
}

Clock::time_point ScanSchedule::Next() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Clock::time_point due : due_) next = std::min(next, due);
  return next;
}

}  // namespace kelgate
