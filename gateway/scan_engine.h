// The scan engine: the one owner of a board's serial line. It polls the
// configured scan groups into a cache, keeps each station's health, runs the
// doors' requests (Modbus pass-through reads, writes from any door) ahead of
// its own scan reads, and tells listeners what it read.
//
// The doors (Modbus TCP server, MQTT publisher, HTTP status page) use only
// this header: they read the cache and the counters and submit writes here;
// none of them touches the driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/fair_queue.h"
#include "gateway/line.h"
#include "gateway/mapping.h"
#include "gateway/scan_config.h"
#include "gateway/scan_plan.h"
#include "host/failure_kind.h"

namespace kelgate {

using WallClock = std::chrono::system_clock;

enum class Quality { kGood, kStale, kBad };
const char* QualityName(Quality quality);  // "good", "stale", "bad"

// What the cache holds for a run of elements.
struct CachedRun {
  bool scanned = false;  // false: some element lies outside every scan group
  Quality quality = Quality::kBad;
  FailureKind failure = FailureKind::kNone;  // bad: why the last read failed
  // The run's items: registers, or bits as 0/1 for a bit area.
  std::vector<uint16_t> items;
  // The oldest read among the run's elements (steady and wall clock).
  Clock::time_point readAt{};
  WallClock::time_point readWall{};
};

// A block read as the listeners see it. For a bit area, `first` is the
// element of bit 0 of the first word and each word holds 16 bits, lowest
// element in bit 0.
struct BlockEvent {
  int station = 0;
  const Area* area = nullptr;
  uint32_t first = 0;
  std::vector<uint16_t> words;  // empty when the read failed
  FailureKind failure = FailureKind::kNone;
  WallClock::time_point time{};  // when the read was made
};

// Called on the line's own thread after the fact: a listener copies what it
// needs and returns at once; it must not wait, and must not call
// ScanEngine::Write synchronously (WriteAsync is fine).
class ScanListener {
 public:
  virtual ~ScanListener() = default;
  virtual void OnBlockRead(const BlockEvent& event) { (void)event; }
  virtual void OnBlockFailed(const BlockEvent& event) { (void)event; }
  virtual void OnDemoted(int station, FailureKind failure) { (void)station, (void)failure; }
  virtual void OnPromoted(int station) { (void)station; }
  // The station's scan reads due in this pass are done (`good`: all of
  // them succeeded).
  virtual void OnStationCycle(int station, bool good) { (void)station, (void)good; }
};

// Counters for reports and metrics, copied under the engine's lock.
struct StationCounters {
  StationInfo info;
  uint64_t cycles = 0;                       // scan passes over the station
  uint64_t blockReads = 0;                   // scan block reads made (good or not)
  uint64_t requests = 0;                     // doors' requests that reached the line
  std::map<FailureKind, uint64_t> failures;  // every line failure, by kind
  uint64_t demotions = 0;
  uint64_t rejected = 0;  // requests answered 0x0B at once while demoted
  bool demoted = false;
  double demotedSeconds = 0;              // in total, the current demotion included
  std::optional<double> dataAgeMs;        // the oldest scanned data's age; none before the first read
  std::optional<double> lastRoundTripMs;  // the last request on the line
};

struct LineCounters {
  uint64_t cycles = 0;      // scan passes
  uint64_t requests = 0;    // driver requests made (scan and doors)
  double busySeconds = 0;   // in total on the line
  double busyFraction = 0;  // of the last ten seconds
  size_t queueLength = 0;   // doors' requests waiting now
  double upSeconds = 0;
};

struct ClientCounters {
  int connected = 0;
  uint64_t connections = 0;                // accepted in total
  std::map<uint8_t, uint64_t> requests;    // by Modbus function code
  std::map<uint8_t, uint64_t> exceptions;  // by exception code
  uint64_t fromCache = 0;                  // reads answered from the cache
};

struct EngineSnapshot {
  std::vector<StationCounters> stations;
  LineCounters line;
  ClientCounters clients;
};

// The data age of the reads answered from the cache over a span of time.
struct CacheAges {
  uint64_t answers = 0;
  double medianMs = 0;
  double p99Ms = 0;
};

class ScanEngine {
 public:
  // The line of `board`, whose stations are `stations`; echo copies the
  // driver's messages to standard error; log receives the engine's own
  // lines (state changes of stations).
  ScanEngine(Board& board, std::vector<StationInfo> stations, ScanConfig config, const WritePolicy& policy,
             size_t queueCapacity, bool echo, std::function<void(const std::string&)> log);
  ~ScanEngine();
  ScanEngine(const ScanEngine&) = delete;
  ScanEngine& operator=(const ScanEngine&) = delete;

  // Before Start: listeners stay registered for the engine's life.
  void AddListener(std::shared_ptr<ScanListener> listener);
  void Start();
  // Lets the request on the line finish, answers the waiting ones with 0x0B.
  void Stop();

  const std::vector<StationInfo>& Stations() const;
  const StationInfo* Station(int number) const;
  const ScanConfig& Config() const;
  // The block reads the planner made of the groups, in cycle order.
  const std::vector<ScanBlock>& Blocks() const;
  const WritePolicy& Policy() const;

  // The cache's view of a run of elements (bits for a bit area).
  CachedRun Cached(int station, const Area& area, uint32_t element, uint32_t count) const;

  // A Modbus request: answered from the cache when its whole range is
  // scanned, at once with 0x0B when the station is demoted, else run on
  // the line (writes ahead of reads, both ahead of the scan), waiting for
  // the line no longer than `deadline`. `fromCache` tells which.
  Outcome Execute(int client, const Plan& plan, Clock::time_point deadline, bool* fromCache = nullptr);

  // A write from any door: items are registers, or bits as 0/1 for a bit
  // area. Refused with 0x02 unless the write policy allows every element;
  // 0x0B at once for a demoted station. A good write updates the cache.
  Outcome Write(int client, int station, const Area& area, uint32_t element, const std::vector<uint16_t>& items,
                Clock::time_point deadline);
  // The same without waiting; `done` runs on the line's thread (or at once
  // when refused) and must not block.
  void WriteAsync(int client, int station, const Area& area, uint32_t element, std::vector<uint16_t> items,
                  Clock::time_point deadline, std::function<void(const Outcome&)> done);

  // The Modbus door's own counts, kept here so one snapshot has them all.
  void ClientConnected();
  void ClientDisconnected();
  void CountRequest(uint8_t function, uint8_t exception, bool fromCache);

  EngineSnapshot Snapshot() const;
  // The ages of the data of the reads answered from the cache since the
  // last call (or the start); the next call starts afresh.
  CacheAges TakeCacheAges();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelgate
