#include "gateway/scan_engine.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "gateway/health.h"
#include "gateway/scan_cache.h"
#include "gateway/scan_plan.h"

namespace kelgate {
namespace {

// The line's busy fraction is reported over this window.
constexpr auto kBusyWindow = std::chrono::seconds(10);
// Cached answers whose data age is kept between two reports.
constexpr size_t kMaxCacheAges = 1 << 20;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Element(const Area& area, uint32_t element) {
  char text[16];
  std::snprintf(text, sizeof text, "%%%s%05u", area.name, element);
  return text;
}

}  // namespace

const char* QualityName(Quality quality) {
  switch (quality) {
    case Quality::kGood:
      return "good";
    case Quality::kStale:
      return "stale";
    case Quality::kBad:
      return "bad";
  }
  return "?";
}

struct ScanEngine::Impl {
  enum class State { kWaiting, kRunning, kDone };
  struct Job {
    uint64_t id = 0;
    bool write = false;
    Plan plan;
    State state = State::kWaiting;
    Outcome outcome;
    std::function<void(const Outcome&)> done;  // asynchronous jobs only
  };
  struct StationState {
    StationHealth health;
    StationCounters counters;
    bool inPass = false;  // some block of the station was read in this pass
    bool passGood = true;
  };
  using Event = std::function<void(ScanListener&)>;

  Impl(Board& board, std::vector<StationInfo> stationList, ScanConfig scanConfig, const WritePolicy& writePolicy,
       size_t capacity, bool echoMessages, std::function<void(const std::string&)> logLine)
      : board(board),
        stations(std::move(stationList)),
        config(std::move(scanConfig)),
        policy(writePolicy),
        echo(echoMessages),
        log(std::move(logLine)),
        writes(capacity, capacity),
        reads(capacity, 1),
        schedule(PlanScan(config.groups, stations), Clock::now()),
        cache(config.maxAgeMs),
        blockGood(schedule.Blocks().size(), true),
        startedAt(Clock::now()) {
    for (const StationInfo& info : stations) {
      StationState& s = state[info.number];
      s.health = StationHealth(config.health);
      s.counters.info = info;
    }
    for (const ScanBlock& block : schedule.Blocks()) cache.Declare(block);
  }

  void Run();
  // Runs a door's job, or refuses it for a demoted station. Called and
  // returns with the lock held; releases it while the line works.
  void RunJob(const std::shared_ptr<Job>& job, std::unique_lock<std::mutex>& lock, FailureCollector& collector);
  void RunBlock(size_t index, std::unique_lock<std::mutex>& lock, FailureCollector& collector);
  // Counts one request on the line and reports its outcome to the
  // station's health; the state changes become log lines and events.
  void Account(int station, FailureKind failure, Clock::time_point start, Clock::time_point end, bool healthCounts,
               std::vector<Event>* events);
  void Finish(const std::shared_ptr<Job>& job, std::vector<std::function<void()>>* callbacks);
  // Hands events to the listeners and runs callbacks, without the lock.
  void Dispatch(std::unique_lock<std::mutex>& lock, std::vector<Event>& events,
                std::vector<std::function<void()>>& callbacks);
  // Queues a door's job; *refused set when it was answered at once.
  std::shared_ptr<Job> Submit(int client, Plan plan, Clock::time_point deadline,
                              std::function<void(const Outcome&)> done, Outcome* refused);
  Outcome Wait(const std::shared_ptr<Job>& job, Clock::time_point deadline);

  Board& board;
  const std::vector<StationInfo> stations;
  const ScanConfig config;
  const WritePolicy policy;
  const bool echo;
  const std::function<void(const std::string&)> log;
  std::vector<std::shared_ptr<ScanListener>> listeners;

  mutable std::mutex mutex;
  std::condition_variable work;
  std::condition_variable done;
  FairQueue writes;
  FairQueue reads;
  std::map<uint64_t, std::shared_ptr<Job>> jobs;
  uint64_t nextJob = 1;
  bool stopping = false;
  std::thread thread;

  ScanSchedule schedule;
  ScanCache cache;
  std::vector<bool> blockGood;  // the block's last read was good (its failures are logged once)
  std::deque<size_t> pass;      // blocks of the current scan pass still to read
  Clock::time_point passStart{};
  std::map<int, StationState> state;
  LineCounters line;
  ClientCounters clients;
  std::vector<float> cacheAges;                                      // ms, since the last TakeCacheAges
  std::deque<std::pair<Clock::time_point, Clock::time_point>> busy;  // line requests of the busy window
  const Clock::time_point startedAt;
};

void ScanEngine::Impl::Dispatch(std::unique_lock<std::mutex>& lock, std::vector<Event>& events,
                                std::vector<std::function<void()>>& callbacks) {
  if (events.empty() && callbacks.empty()) return;
  lock.unlock();
  for (const Event& event : events) {
    for (const auto& listener : listeners) event(*listener);
  }
  for (const auto& callback : callbacks) callback();
  events.clear();
  callbacks.clear();
  lock.lock();
}

void ScanEngine::Impl::Finish(const std::shared_ptr<Job>& job, std::vector<std::function<void()>>* callbacks) {
  job->state = State::kDone;
  jobs.erase(job->id);
  if (job->done) callbacks->push_back([job] { job->done(job->outcome); });
  done.notify_all();
}

void ScanEngine::Impl::Account(int station, FailureKind failure, Clock::time_point start, Clock::time_point end,
                               bool healthCounts, std::vector<Event>* events) {
  ++line.requests;
  line.busySeconds += Seconds(end - start);
  busy.emplace_back(start, end);
  while (!busy.empty() && busy.front().second < end - kBusyWindow) busy.pop_front();
  StationState& s = state[station];
  s.counters.lastRoundTripMs = Ms(end - start);
  if (failure != FailureKind::kNone) ++s.counters.failures[failure];
  if (!healthCounts) return;
  const int holdS = static_cast<int>(s.health.Hold().count());
  switch (s.health.Report(failure, end)) {
    case StationHealth::Change::kNone:
      break;
    case StationHealth::Change::kDemoted:
      log("station " + std::to_string(station) + ": demoted after " + std::to_string(config.health.failures) +
          " request(s) in a row without an answer (" + FailureKindName(failure) +
          "); its requests are answered 0x0B at once; probe in " + std::to_string(s.health.Hold().count()) + " s");
      events->push_back([station, failure](ScanListener& l) { l.OnDemoted(station, failure); });
      break;
    case StationHealth::Change::kProbeFailed:
      log("station " + std::to_string(station) + ": probe unanswered (" + FailureKindName(failure) +
          "); next probe in " + std::to_string(s.health.Hold().count()) + " s");
      break;
    case StationHealth::Change::kPromoted:
      log("station " + std::to_string(station) + ": promoted: the probe was answered after a hold of " +
          std::to_string(holdS) + " s");
      events->push_back([station](ScanListener& l) { l.OnPromoted(station); });
      break;
  }
}

void ScanEngine::Impl::RunJob(const std::shared_ptr<Job>& job, std::unique_lock<std::mutex>& lock,
                              FailureCollector& collector) {
  std::vector<Event> events;
  std::vector<std::function<void()>> callbacks;
  const int station = job->plan.request.unit;
  StationState& s = state[station];
  if (s.health.Admit(Clock::now()) == StationHealth::Admission::kRefuse) {
    // Demoted while the job waited.
    ++s.counters.rejected;
    job->outcome.exception = kGatewayTargetFailed;
    Finish(job, &callbacks);
    Dispatch(lock, events, callbacks);
    return;
  }
  job->state = State::kRunning;
  done.notify_all();
  lock.unlock();
  const Clock::time_point start = Clock::now();
  Outcome outcome = RunPlan(board, job->plan, collector);
  const Clock::time_point end = Clock::now();
  const WallClock::time_point wall = WallClock::now();
  lock.lock();
  ++s.counters.requests;
  Account(station, outcome.failure, start, end, outcome.failure != FailureKind::kRefused, &events);
  const LineStep* first = job->plan.steps.empty() ? nullptr : &job->plan.steps.front();
  if (first && first->write && outcome.failure == FailureKind::kNone) {
    cache.Write(station, *job->plan.place.area, job->plan.place.element, job->plan.request.values, end, wall);
  }
  job->outcome = std::move(outcome);
  Finish(job, &callbacks);
  Dispatch(lock, events, callbacks);
}

void ScanEngine::Impl::RunBlock(size_t index, std::unique_lock<std::mutex>& lock, FailureCollector& collector) {
  const ScanBlock block = schedule.Blocks()[index];
  StationState& s = state[block.station];
  const Clock::time_point start = Clock::now();
  // Due again one interval after the pass began: the blocks of one pass stay
  // together, so each station is still attached once per cycle.
  schedule.Done(index, passStart);
  std::vector<Event> events;
  std::vector<std::function<void()>> callbacks;
  if (s.health.Admit(start) != StationHealth::Admission::kRefuse) {
    s.inPass = true;
    lock.unlock();
    const LineStep step{
        false, true, Gas(block.station, *block.area, block.first), static_cast<int32_t>(block.words), {}};
    std::vector<uint16_t> words;
    std::string message;
    const FailureKind failure = RunStep(board, step, collector, &words, &message);
    const Clock::time_point end = Clock::now();
    const WallClock::time_point wall = WallClock::now();
    lock.lock();
    ++s.counters.blockReads;
    const std::string what = "station " + std::to_string(block.station) + ": scan of " +
                             Element(*block.area, block.first) + "-" + Element(*block.area, block.LastElement());
    BlockEvent event{block.station, block.area, block.first, {}, failure, wall};
    if (failure == FailureKind::kNone) {
      cache.Store(block, words, end, wall);
      if (!blockGood[index]) log(what + " good again");
      event.words = std::move(words);
      events.push_back([event](ScanListener& l) { l.OnBlockRead(event); });
    } else {
      cache.Fail(block, failure);
      s.passGood = false;
      if (blockGood[index]) log(what + " failed: " + FailureKindName(failure) + " (" + message + ")");
      events.push_back([event](ScanListener& l) { l.OnBlockFailed(event); });
    }
    blockGood[index] = failure == FailureKind::kNone;
    Account(block.station, failure, start, end, failure != FailureKind::kRefused, &events);
  }
  // The station's pass ends with its last block in the pass.
  bool more = false;
  for (size_t next : pass) more = more || schedule.Blocks()[next].station == block.station;
  if (!more && s.inPass) {
    ++s.counters.cycles;
    const int station = block.station;
    const bool good = s.passGood;
    events.push_back([station, good](ScanListener& l) { l.OnStationCycle(station, good); });
  }
  if (!more) {
    s.inPass = false;
    s.passGood = true;
  }
  Dispatch(lock, events, callbacks);
}

void ScanEngine::Impl::Run() {
  // The collector installs itself as the driver's message sink; it lives on
  // the one thread that calls the driver.
  FailureCollector collector;
  collector.SetEcho(echo);
  std::unique_lock<std::mutex> lock(mutex);
  std::vector<Event> noEvents;
  for (;;) {
    std::vector<uint64_t> expired;
    std::optional<uint64_t> next;
    const Clock::time_point now = stopping ? Clock::time_point::max() : Clock::now();
    next = writes.Pop(now, &expired);
    if (!next) next = reads.Pop(now, &expired);
    std::vector<std::function<void()>> callbacks;
    for (uint64_t id : expired) {
      const std::shared_ptr<Job> job = jobs[id];
      job->outcome.exception = kGatewayTargetFailed;
      job->outcome.expired = true;
      Finish(job, &callbacks);
    }
    if (stopping) {
      Dispatch(lock, noEvents, callbacks);
      return;
    }
    if (next) {
      const std::shared_ptr<Job> job = jobs[*next];
      Dispatch(lock, noEvents, callbacks);
      if (job->state == State::kWaiting) RunJob(job, lock, collector);
      continue;
    }
    Dispatch(lock, noEvents, callbacks);
    if (pass.empty()) {
      const std::vector<size_t> due = schedule.Due(Clock::now());
      if (!due.empty()) ++line.cycles;
      pass.assign(due.begin(), due.end());
      passStart = Clock::now();
    }
    if (!pass.empty()) {
      const size_t index = pass.front();
      pass.pop_front();
      RunBlock(index, lock, collector);
      continue;
    }
    if (writes.Size() + reads.Size() > 0 || stopping) continue;
    if (schedule.Next() == Clock::time_point::max()) {
      work.wait(lock);
    } else {
      work.wait_until(lock, schedule.Next());
    }
  }
}

std::shared_ptr<ScanEngine::Impl::Job> ScanEngine::Impl::Submit(int client, Plan plan, Clock::time_point deadline,
                                                                std::function<void(const Outcome&)> whenDone,
                                                                Outcome* refused) {
  const int station = plan.request.unit;
  const bool write = !plan.steps.empty() && plan.steps.front().write;
  std::lock_guard<std::mutex> lock(mutex);
  const auto s = state.find(station);
  if (stopping || s == state.end()) {
    refused->exception = kGatewayTargetFailed;
    return nullptr;
  }
  if (s->second.health.Admit(Clock::now()) == StationHealth::Admission::kRefuse) {
    ++s->second.counters.rejected;
    refused->exception = kGatewayTargetFailed;
    return nullptr;
  }
  auto job = std::make_shared<Job>();
  job->id = nextJob++;
  job->write = write;
  job->plan = std::move(plan);
  job->done = std::move(whenDone);
  if (!(write ? writes : reads).Push(client, job->id, deadline)) {
    refused->exception = kServerBusy;
    return nullptr;
  }
  jobs[job->id] = job;
  work.notify_one();
  return job;
}

Outcome ScanEngine::Impl::Wait(const std::shared_ptr<Job>& job, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex);
  done.wait_until(lock, deadline, [&] { return job->state != State::kWaiting; });
  if (job->state == State::kWaiting) {
    // Still waiting for the line: it never will be sent.
    (job->write ? writes : reads).Remove(job->id);
    jobs.erase(job->id);
    job->outcome.exception = kGatewayTargetFailed;
    job->outcome.expired = true;
    job->state = State::kDone;
  }
  // A request already on the line finishes its exchange: its answer tells
  // what the PLC did, which a write's client must learn.
  done.wait(lock, [&] { return job->state == State::kDone; });
  return job->outcome;
}

ScanEngine::ScanEngine(Board& board, std::vector<StationInfo> stations, ScanConfig config, const WritePolicy& policy,
                       size_t queueCapacity, bool echo, std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(board, std::move(stations), std::move(config), policy, queueCapacity, echo,
                                   std::move(log))) {}

ScanEngine::~ScanEngine() { Stop(); }

void ScanEngine::AddListener(std::shared_ptr<ScanListener> listener) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->listeners.push_back(std::move(listener));
}

void ScanEngine::Start() {
  if (!impl_->thread.joinable()) impl_->thread = std::thread([this] { impl_->Run(); });
}

void ScanEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->work.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
}

const std::vector<StationInfo>& ScanEngine::Stations() const { return impl_->stations; }

const StationInfo* ScanEngine::Station(int number) const {
  for (const StationInfo& info : impl_->stations) {
    if (info.number == number) return &info;
  }
  return nullptr;
}

const ScanConfig& ScanEngine::Config() const { return impl_->config; }
const std::vector<ScanBlock>& ScanEngine::Blocks() const { return impl_->schedule.Blocks(); }
const WritePolicy& ScanEngine::Policy() const { return impl_->policy; }

CachedRun ScanEngine::Cached(int station, const Area& area, uint32_t element, uint32_t count) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->cache.Read(station, area, element, count, Clock::now());
}

Outcome ScanEngine::Execute(int client, const Plan& plan, Clock::time_point deadline, bool* fromCache) {
  if (fromCache) *fromCache = false;
  Outcome outcome;
  if (plan.exception != kNoException || plan.steps.empty()) {
    outcome.exception = plan.exception;
    return outcome;
  }
  const bool write = plan.steps.front().write;
  if (!write) {
    const CachedRun run = Cached(plan.request.unit, *plan.place.area, plan.place.element, plan.place.count);
    if (run.scanned) {
      if (fromCache) *fromCache = true;
      if (run.quality == Quality::kGood) {
        outcome.items = run.items;
        std::lock_guard<std::mutex> lock(impl_->mutex);
        // Bounded: a report that never comes must not grow it for ever.
        if (impl_->cacheAges.size() < kMaxCacheAges) {
          impl_->cacheAges.push_back(static_cast<float>(Ms(Clock::now() - run.readAt)));
        }
      } else {
        outcome.exception = kGatewayTargetFailed;
      }
      return outcome;
    }
  }
  const auto job = impl_->Submit(client, plan, deadline, nullptr, &outcome);
  return job ? impl_->Wait(job, deadline) : outcome;
}

Outcome ScanEngine::Write(int client, int station, const Area& area, uint32_t element,
                          const std::vector<uint16_t>& items, Clock::time_point deadline) {
  const Plan plan =
      MakeWritePlan(station, Place{&area, element, static_cast<uint32_t>(items.size())}, items, impl_->policy);
  return Execute(client, plan, deadline);
}

void ScanEngine::WriteAsync(int client, int station, const Area& area, uint32_t element, std::vector<uint16_t> items,
                            Clock::time_point deadline, std::function<void(const Outcome&)> whenDone) {
  Plan plan = MakeWritePlan(station, Place{&area, element, static_cast<uint32_t>(items.size())}, items, impl_->policy);
  Outcome outcome;
  outcome.exception = plan.exception;
  if (plan.exception == kNoException) {
    if (impl_->Submit(client, std::move(plan), deadline, whenDone, &outcome)) return;
  }
  if (whenDone) whenDone(outcome);
}

void ScanEngine::ClientConnected() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ++impl_->clients.connected;
  ++impl_->clients.connections;
}

void ScanEngine::ClientDisconnected() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  --impl_->clients.connected;
}

void ScanEngine::CountRequest(uint8_t function, uint8_t exception, bool fromCache) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ++impl_->clients.requests[function];
  if (exception != kNoException) ++impl_->clients.exceptions[exception];
  if (fromCache) ++impl_->clients.fromCache;
}

EngineSnapshot ScanEngine::Snapshot() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Clock::time_point now = Clock::now();
  EngineSnapshot snapshot;
  for (const auto& [number, s] : impl_->state) {
    StationCounters counters = s.counters;
    counters.demotions = s.health.Demotions();
    counters.demoted = s.health.Demoted();
    counters.demotedSeconds = Seconds(s.health.TimeDemoted(now));
    if (const auto age = impl_->cache.OldestAge(number, now)) counters.dataAgeMs = Ms(*age);
    snapshot.stations.push_back(std::move(counters));
  }
  snapshot.line = impl_->line;
  snapshot.line.queueLength = impl_->writes.Size() + impl_->reads.Size();
  snapshot.line.upSeconds = Seconds(now - impl_->startedAt);
  Clock::duration busy{0};
  const Clock::time_point from = now - kBusyWindow;
  for (const auto& [start, end] : impl_->busy) {
    if (end > from) busy += end - std::max(start, from);
  }
  const double window = std::min(Seconds(kBusyWindow), snapshot.line.upSeconds);
  snapshot.line.busyFraction = window > 0 ? Seconds(busy) / window : 0;
  snapshot.clients = impl_->clients;
  return snapshot;
}

CacheAges ScanEngine::TakeCacheAges() {
  std::vector<float> ages;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ages.swap(impl_->cacheAges);
  }
  CacheAges result;
  result.answers = ages.size();
  if (ages.empty()) return result;
  const auto at = [&](double fraction) {
    const size_t k = std::min(ages.size() - 1, static_cast<size_t>(fraction * static_cast<double>(ages.size())));
    std::nth_element(ages.begin(), ages.begin() + static_cast<std::ptrdiff_t>(k), ages.end());
    return static_cast<double>(ages[k]);
  };
  result.medianMs = at(0.5);
  result.p99Ms = at(0.99);
  return result;
}

}  // namespace kelgate
