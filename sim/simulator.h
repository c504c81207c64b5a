// plcsim: one or more simulated GE Series 90 PLC stations on a serial line,
// served from a background thread.
//
//   plcsim::SimulatorOptions options;
//   options.stations = plcsim::ParseNetworkText("01PLCA\n02PLCB*\n");
//   plcsim::Simulator sim(options);              // a new pseudo-terminal
//   LoadDriverOn(sim.PortName());                // "pts/5": the driver's port name
//   sim.Plc(1).SetWord(plcsim::Area::R, 0, 1234); // %R1 of station 1
//   ... the driver reads 01R00001 and gets 1234 ...
//   EXPECT_EQ(sim.Plc(2).Get("%M17"), 1);
//   sim.Plc(2).Silent();                         // station 2 stops answering
//
// Every call is safe while the simulator runs; the destructor stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/engine.h"
#include "sim/faults.h"
#include "sim/line.h"
#include "sim/memory.h"
#include "sim/network.h"

namespace plcsim {

struct SimulatorOptions {
  // The stations on the line; by default the single station 0 of a
  // point-to-point line, with an empty SNP ID.
  std::vector<StationConfig> stations = PointToPoint();
  // A serial device to serve; empty for a new pseudo-terminal pair.
  std::string device;
  LineSettings line;
  // Model the line's speed: every byte the stations send reaches the driver
  // one character time after the one before it, and every byte the driver
  // writes is heard one character time after the one before it, so a reply
  // cannot start before the request's last byte would have arrived.
  bool pace = false;
  // Turnaround, timeouts, text buffer size, memory sizes and pattern. The
  // character time is filled in from line when pace is set.
  EngineConfig engine;
  // Receives one line per frame, prefixed with the seconds since the start.
  std::function<void(std::string_view line)> trace;
  bool hexDump = false;
};

class Simulator;

// One station of a running simulator. Indexes are 0-based: %R1 is
// Word(Area::R, 0), %M17 is Bit(Area::M, 16). Words of a discrete area are
// its 16-bit elements (bits 16k..16k+15), as the driver reads them.
class PlcRef {
 public:
  int Number() const { return number_; }

  uint16_t Word(Area area, std::size_t index) const;
  void SetWord(Area area, std::size_t index, uint16_t value);
  std::vector<uint16_t> Words(Area area, std::size_t first, std::size_t count) const;
  void SetWords(Area area, std::size_t first, std::span<const uint16_t> values);
  void SetWords(Area area, std::size_t first, std::initializer_list<uint16_t> values);
  uint8_t Byte(Area area, std::size_t index) const;
  void SetByte(Area area, std::size_t index, uint8_t value);
  bool Bit(Area area, std::size_t index) const;
  void SetBit(Area area, std::size_t index, bool value);
  // By PLC reference, 1-based: "%R1" is a word, "%M17" a bit (0 or 1).
  int Get(std::string_view reference) const;
  void Set(std::string_view reference, int value);

  // Faults (see Faults for what each does); count kAlways = until cleared.
  void Silent(bool on = true);
  void CorruptBcc(int count = 1);
  void NakRequests(int count = 1, uint8_t code = 0x00);
  void ErrorNack(uint8_t major, uint8_t minor, int count = kAlways, unsigned kinds = kAnyRequest);
  void ErrorStatus(uint16_t status, int count = kAlways, unsigned kinds = kAnyRequest);
  void Truncate(int count = 1, std::size_t keep = 0);
  void TextWithoutT(int count = 1);
  void EndlessText(int count = kAlways);
  void Delay(std::chrono::milliseconds by, int count = kAlways);
  void Noise(std::size_t bytes = 8, int count = 1);
  void FlipBits(int bits = 1, int count = 1);
  void DropByte(int count = 1);
  void InsertByte(int count = 1);
  void ClearFaults();
  // Any other change of the fault set.
  void ChangeFaults(const std::function<void(Faults&)>& change);

  StationStats Stats() const;
  bool Attached() const;

 private:
  friend class Simulator;
  PlcRef(Simulator* simulator, int number) : simulator_(simulator), number_(number) {}
  template <class F>
  auto With(F&& f) const;

  Simulator* simulator_;
  int number_;
};

class Simulator {
 public:
  // Opens the line and starts serving. Throws LineError when the line cannot
  // be opened.
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The device the driver opens: the pseudo-terminal slave or the device.
  const std::string& Path() const { return path_; }
  // The driver's port name for it: the path without "/dev/" ("pts/5").
  std::string PortName() const;

  // Throws std::out_of_range for a station that is not on the line.
  PlcRef Plc(int number);
  std::vector<int> StationNumbers() const;

  // Stops serving and closes the line; also done by the destructor.
  void Stop();

  // Runs f on the engine under the simulator's lock, for anything the
  // station handles do not offer.
  template <class F>
  auto Locked(F&& f) {
    std::lock_guard lock(mutex_);
    return f(engine_);
  }

 private:
  void Run();
  void ReadInput(TimePoint now);
  void DeliverInput(TimePoint now);
  void QueueOutput(const Transmission& t);
  void WriteOutput(TimePoint now);

  SimulatorOptions options_;
  Engine engine_;
  mutable std::mutex mutex_;
  Fd line_;
  Fd wake_;
  std::string path_;
  TimePoint start_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // A byte and the time at which it has crossed the line.
  struct TimedByte {
    TimePoint at;
    uint8_t byte;
  };
  // Bytes the stations send, not yet written, each with the time by which
  // it has fully arrived at the driver; and when the last one queued arrives.
  std::deque<TimedByte> output_;
  TimePoint outputFree_{};
  bool blocked_ = false;
  // Paced: bytes written by the driver that are still on their way to the
  // stations, and when the last of them arrives.
  std::deque<TimedByte> input_;
  TimePoint inputFree_{};
};

template <class F>
auto PlcRef::With(F&& f) const {
  return simulator_->Locked([&](Engine& engine) { return f(engine.At(number_)); });
}

}  // namespace plcsim
