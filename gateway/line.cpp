#include "gateway/line.h"

namespace kelgate {

uint8_t ExceptionFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone:
      return kNoException;
    case FailureKind::kNoResponse:
    case FailureKind::kChecksum:
    case FailureKind::kNotAttached:
      return kGatewayTargetFailed;
    case FailureKind::kRefused:
      return kIllegalAddress;
    case FailureKind::kNak:
    case FailureKind::kPlcError:
    case FailureKind::kOther:
      return kDeviceFailure;
  }
  return kDeviceFailure;
}

LineWorker::LineWorker(Board& board, size_t capacity, bool echo)
    : board_(board), echo_(echo), queue_(capacity, 1), thread_([this] { Run(); }) {}

LineWorker::~LineWorker() { Stop(); }

void LineWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  if (thread_.joinable()) thread_.join();
}

Outcome LineWorker::Execute(int client, const Plan& plan, Clock::time_point deadline) {
  Job job;
  job.plan = &plan;
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t id = nextJob_++;
  if (stopping_) {
    job.outcome.exception = kGatewayTargetFailed;
    return job.outcome;
  }
  if (!queue_.Push(client, id, deadline)) {
    job.outcome.exception = kServerBusy;
    return job.outcome;
  }
  jobs_[id] = &job;
  work_.notify_one();
  done_.wait_until(lock, deadline, [&] { return job.state != State::kWaiting; });
  if (job.state == State::kWaiting) {
    // Still waiting for the line: it never will be sent.
    queue_.Remove(id);
    job.outcome.exception = kGatewayTargetFailed;
    job.outcome.expired = true;
    job.state = State::kDone;
  }
  // A request already on the line finishes its exchange: its answer tells
  // what the PLC did, which a write's client must learn.
  done_.wait(lock, [&] { return job.state == State::kDone; });
  jobs_.erase(id);
  return job.outcome;
}

void LineWorker::Run() {
  // The collector installs itself as the driver's message sink; it lives on
  // the one thread that calls the driver.
  FailureCollector collector;
  collector.SetEcho(echo_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || queue_.Size() > 0; });
    std::vector<uint64_t> expired;
    if (stopping_) {
      while (queue_.Pop(Clock::time_point::max(), &expired)) {
      }
    }
    const auto next = stopping_ ? std::nullopt : queue_.Pop(Clock::now(), &expired);
    for (uint64_t id : expired) {
      Job* job = jobs_[id];
      job->outcome.exception = kGatewayTargetFailed;
      job->outcome.expired = true;
      job->state = State::kDone;
    }
    if (!expired.empty()) done_.notify_all();
    if (stopping_) return;
    if (!next) continue;
    Job* job = jobs_[*next];
    job->state = State::kRunning;
    done_.notify_all();
    lock.unlock();
    Outcome outcome = RunPlan(*job->plan, collector);
    lock.lock();
    job->outcome = std::move(outcome);
    job->state = State::kDone;
    done_.notify_all();
  }
}

Outcome LineWorker::RunPlan(const Plan& plan, FailureCollector& collector) {
  Outcome outcome;
  outcome.reachedLine = true;
  std::vector<uint16_t> words;
  for (const LineStep& step : plan.steps) {
    Tag tag;
    collector.Begin();
    if (board_.Parse(step.gas, step.count, step.block, &tag) != 0) {
      // The map and the station list keep the driver's parse satisfied; a
      // refusal here is an address the driver does not serve.
      outcome.failure = FailureKind::kRefused;
      outcome.message = collector.LastMessage().empty() ? "the driver refused " + step.gas : collector.LastMessage();
      outcome.exception = kIllegalAddress;
      return outcome;
    }
    collector.Begin();
    const int32_t result = step.write ? board_.Write(tag, step.values) : board_.Read(tag, &words);
    const FailureKind kind = collector.End(result);
    if (kind != FailureKind::kNone) {
      outcome.failure = kind;
      outcome.message = collector.LastMessage();
      outcome.exception = ExceptionFor(kind);
      return outcome;
    }
  }
  if (!plan.steps.empty() && !plan.steps.front().write) outcome.items = ReadItems(plan, words);
  return outcome;
}

}  // namespace kelgate
