// The waiting room of the serial line: requests of many clients, taken one
// at a time, client by client in turn, so that a busy client cannot starve
// the others. Bounded, and every request carries a deadline after which it
// is no longer worth sending. Not thread-safe: the line worker locks it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace kelgate {

using Clock = std::chrono::steady_clock;

class FairQueue {
 public:
  FairQueue(size_t capacity, size_t perClient) : capacity_(capacity), perClient_(perClient) {}

  // False when the queue, or the client's share of it, is full.
  bool Push(int client, uint64_t job, Clock::time_point deadline);
  // The next job in turn whose deadline has not passed; jobs found past their
  // deadline on the way are removed and appended to *expired.
  std::optional<uint64_t> Pop(Clock::time_point now, std::vector<uint64_t>* expired);
  // Removes a waiting job; false when it is not waiting (taken or unknown).
  bool Remove(uint64_t job);
  size_t Size() const;

 private:
  struct Entry {
    uint64_t job;
    Clock::time_point deadline;
  };
  struct Lane {
    int client;
    std::deque<Entry> entries;
  };
  // Lanes in turn order: the front lane gives the next job, then goes last.
  std::deque<Lane> lanes_;
  size_t capacity_;
  size_t perClient_;
};

}  // namespace kelgate
