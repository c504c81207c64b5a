#include "gateway/fair_queue.h"

#include <algorithm>

namespace kelgate {

size_t FairQueue::Size() const {
  size_t size = 0;
  for (const Lane& lane : lanes_) size += lane.entries.size();
  return size;
}

bool FairQueue::Push(int client, uint64_t job, Clock::time_point deadline) {
  if (Size() >= capacity_) return false;
  auto lane = std::find_if(lanes_.begin(), lanes_.end(), [client](const Lane& l) { return l.client == client; });
  if (lane == lanes_.end()) {
    lanes_.push_back(Lane{client, {}});
    lane = lanes_.end() - 1;
  }
  if (lane->entries.size() >= perClient_) return false;
  lane->entries.push_back(Entry{job, deadline});
  return true;
}

std::optional<uint64_t> FairQueue::Pop(Clock::time_point now, std::vector<uint64_t>* expired) {
  while (!lanes_.empty()) {
    Lane lane = std::move(lanes_.front());
    lanes_.pop_front();
    while (!lane.entries.empty() && lane.entries.front().deadline <= now) {
      expired->push_back(lane.entries.front().job);
      lane.entries.pop_front();
    }
    if (lane.entries.empty()) continue;
    const uint64_t job = lane.entries.front().job;
    lane.entries.pop_front();
    if (!lane.entries.empty()) lanes_.push_back(std::move(lane));
    return job;
  }
  return std::nullopt;
}

bool FairQueue::Remove(uint64_t job) {
  for (auto lane = lanes_.begin(); lane != lanes_.end(); ++lane) {
    auto entry = std::find_if(lane->entries.begin(), lane->entries.end(), [job](const Entry& e) { return e.job == job; });
    if (entry == lane->entries.end()) continue;
    lane->entries.erase(entry);
    if (lane->entries.empty()) lanes_.erase(lane);
    return true;
  }
  return false;
}

}  // namespace kelgate
