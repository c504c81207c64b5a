// The scan's cache: per scanned word of PLC memory its last value, the time
// of the read that brought it, and whether that read failed. Quality is
// judged when asked: good, stale (older than the age limit) or bad (the
// last read failed, or none has been made yet). Not thread-safe: the
// engine locks it.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "gateway/scan_engine.h"
#include "gateway/scan_plan.h"

namespace kelgate {

class ScanCache {
 public:
  explicit ScanCache(uint32_t maxAgeMs) : maxAge_(std::chrono::milliseconds(maxAgeMs)) {}

  // The words a block reads become scanned (bad until first read).
  void Declare(const ScanBlock& block);
  // A good read of the block's words.
  void Store(const ScanBlock& block, const std::vector<uint16_t>& words, Clock::time_point at,
             WallClock::time_point wall);
  // A failed read: its words are bad, with the failure's kind; their last
  // values stay for those who want to see them.
  void Fail(const ScanBlock& block, FailureKind failure);
  // A good write of items (registers, or bits as 0/1) from `element`:
  // the scanned ones take the written values as of `at`.
  void Write(int station, const Area& area, uint32_t element, const std::vector<uint16_t>& items, Clock::time_point at,
             WallClock::time_point wall);
  // The run of `count` elements from `element` as of `now`.
  CachedRun Read(int station, const Area& area, uint32_t element, uint32_t count, Clock::time_point now) const;
  // Age of the station's oldest good scanned word; none when no word of
  // it has been read yet.
  std::optional<Clock::duration> OldestAge(int station, Clock::time_point now) const;

 private:
  struct Word {
    uint16_t value = 0;
    bool read = false;                         // a value has been read since the start
    FailureKind failure = FailureKind::kNone;  // the last read failed
    Clock::time_point at{};
    WallClock::time_point wall{};
  };
  static uint64_t Key(int station, const Area& area, uint32_t word);
  const Word* Find(int station, const Area& area, uint32_t word) const;

  Clock::duration maxAge_;
  std::unordered_map<uint64_t, Word> words_;
};

}  // namespace kelgate
