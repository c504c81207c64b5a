#include "gateway/health.h"

#include <algorithm>

namespace kelgate {

bool IsNoAnswer(FailureKind kind) { return kind == FailureKind::kNoResponse || kind == FailureKind::kNotAttached; }

StationHealth::Admission StationHealth::Admit(Clock::time_point now) const {
  if (!demoted_) return Admission::kGo;
  return now >= probeAt_ ? Admission::kProbe : Admission::kRefuse;
}

StationHealth::Change StationHealth::Report(FailureKind failure, Clock::time_point now) {
  if (!Enabled()) return Change::kNone;
  const bool noAnswer = IsNoAnswer(failure);
  if (demoted_) {
    if (!noAnswer) {
      demoted_ = false;
      failures_ = 0;
      demotedBefore_ += now - demotedSince_;
      return Change::kPromoted;
    }
    hold_ = std::min(hold_ * 2, std::chrono::seconds(std::max(config_.holdMaxS, config_.holdS)));
    probeAt_ = now + hold_;
    return Change::kProbeFailed;
  }
  if (!noAnswer) {
    failures_ = 0;
    return Change::kNone;
  }
  if (++failures_ < config_.failures) return Change::kNone;
  demoted_ = true;
  ++demotions_;
  demotedSince_ = now;
  hold_ = std::chrono::seconds(config_.holdS);
  probeAt_ = now + hold_;
  return Change::kDemoted;
}

Clock::duration StationHealth::TimeDemoted(Clock::time_point now) const {
  return demotedBefore_ + (demoted_ ? now - demotedSince_ : Clock::duration{0});
}

}  // namespace kelgate
