// The serial line of one board: a single worker thread owns the driver's
// board and runs the clients' requests one at a time, taken fairly from a
// bounded queue. A request that waits past its deadline never reaches the
// line and is answered with exception 0x0B.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/fair_queue.h"
#include "gateway/plan.h"
#include "host/driver_module.h"
#include "host/failure_kind.h"

namespace kelgate {

// The exception that answers a failure of the driver: the station did not
// answer or could not be attached → 0x0B; the PLC answered with an error or
// a NAK → 0x04; the driver refused the address → 0x02.
uint8_t ExceptionFor(FailureKind kind);

struct Outcome {
  uint8_t exception = kNoException;
  std::vector<uint16_t> items;  // a read's registers, or bits as 0/1
  FailureKind failure = FailureKind::kNone;
  std::string message;  // the driver's message that explains the failure
  bool expired = false; // the deadline passed before the line was free
  bool reachedLine = false;
};

class LineWorker {
 public:
  // `capacity` bounds the requests waiting for the line; `echo` copies the
  // driver's messages to standard error.
  LineWorker(Board& board, size_t capacity, bool echo);
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  // Runs the plan's driver calls on the line and waits for them; the wait for
  // the line ends at `deadline`.
  Outcome Execute(int client, const Plan& plan, Clock::time_point deadline);
  // Lets the request on the line finish, answers the waiting ones with 0x0B
  // and ends the worker.
  void Stop();

 private:
  enum class State { kWaiting, kRunning, kDone };
  struct Job {
    const Plan* plan = nullptr;
    State state = State::kWaiting;
    Outcome outcome;
  };
  void Run();
  Outcome RunPlan(const Plan& plan, FailureCollector& collector);

  Board& board_;
  bool echo_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  FairQueue queue_;
  std::map<uint64_t, Job*> jobs_;
  uint64_t nextJob_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kelgate
