// One station's health: failed requests in a row that got no answer,
// demotion, the probe after a hold that doubles, promotion. Pure state on
// the times it is given, so tests drive it with a fake clock.
#pragma once

#include <chrono>
#include <cstdint>

#include "gateway/fair_queue.h"
#include "gateway/scan_config.h"
#include "host/failure_kind.h"

namespace kelgate {

// Failures that mean the station gave no answer at all: it could not be
// attached, or it did not reply. A PLC's error answer, a NAK or a damaged
// frame come from a station that is there, and never demote it.
bool IsNoAnswer(FailureKind kind);

class StationHealth {
 public:
  explicit StationHealth(HealthConfig config = {}) : config_(config) {}

  enum class Admission {
    kGo,      // healthy (or health off): to the line
    kProbe,   // demoted and the hold has passed: this request is the probe
    kRefuse,  // demoted: answer 0x0B at once, no line time
  };
  // What to do with a request for the station at `now`. The line runs one
  // request at a time, so the probe admitted is the only one on the line.
  Admission Admit(Clock::time_point now) const;

  enum class Change { kNone, kDemoted, kPromoted, kProbeFailed };
  // The outcome of a request that reached the line (kNone: answered).
  Change Report(FailureKind failure, Clock::time_point now);

  bool Demoted() const { return demoted_; }
  // When the next probe may go (while demoted).
  Clock::time_point ProbeAt() const { return probeAt_; }
  std::chrono::seconds Hold() const { return hold_; }
  int FailuresInARow() const { return failures_; }
  uint64_t Demotions() const { return demotions_; }
  // Time spent demoted in total, the current demotion up to `now` included.
  Clock::duration TimeDemoted(Clock::time_point now) const;
  bool Enabled() const { return config_.failures > 0; }

 private:
  HealthConfig config_;
  bool demoted_ = false;
  int failures_ = 0;
  std::chrono::seconds hold_{0};
  Clock::time_point probeAt_{};
  Clock::time_point demotedSince_{};
  Clock::duration demotedBefore_{0};
  uint64_t demotions_ = 0;
};

}  // namespace kelgate
