#include "sim/simulator.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace plcsim {
namespace {

// While no program has the pseudo-terminal's slave open, its master reports
// a hang-up at once on every poll; the line is then looked at this often.
constexpr auto kHangupRetry = Millis(2);
constexpr std::size_t kReadChunk = 4096;

EngineConfig WithLineTiming(const SimulatorOptions& options) {
  EngineConfig config = options.engine;
  if (options.pace) config.charTime = CharTime(options.line);
  return config;
}

}  // namespace

// ---------------------------------------------------------------------------
// PlcRef

uint16_t PlcRef::Word(Area area, std::size_t index) const {
  return With([&](Station& s) { return s.memory.Word(area, index); });
}

void PlcRef::SetWord(Area area, std::size_t index, uint16_t value) {
  With([&](Station& s) { s.memory.SetWord(area, index, value); });
}

std::vector<uint16_t> PlcRef::Words(Area area, std::size_t first, std::size_t count) const {
  return With([&](Station& s) {
    std::vector<uint16_t> words;
    for (std::size_t k = 0; k < count; ++k) words.push_back(s.memory.Word(area, first + k));
    return words;
  });
}

void PlcRef::SetWords(Area area, std::size_t first, std::span<const uint16_t> values) {
  With([&](Station& s) {
    for (std::size_t k = 0; k < values.size(); ++k) s.memory.SetWord(area, first + k, values[k]);
  });
}

void PlcRef::SetWords(Area area, std::size_t first, std::initializer_list<uint16_t> values) {
  SetWords(area, first, std::span<const uint16_t>(values.begin(), values.size()));
}

uint8_t PlcRef::Byte(Area area, std::size_t index) const {
  return With([&](Station& s) { return s.memory.Byte(area, index); });
}

void PlcRef::SetByte(Area area, std::size_t index, uint8_t value) {
  With([&](Station& s) { s.memory.SetByte(area, index, value); });
}

bool PlcRef::Bit(Area area, std::size_t index) const {
  return With([&](Station& s) { return s.memory.Bit(area, index); });
}

void PlcRef::SetBit(Area area, std::size_t index, bool value) {
  With([&](Station& s) { s.memory.SetBit(area, index, value); });
}

namespace {
Reference MustParse(std::string_view text) {
  const auto reference = ParseReference(text);
  if (!reference) throw std::invalid_argument("plcsim: not a PLC reference: " + std::string(text));
  return *reference;
}
}  // namespace

int PlcRef::Get(std::string_view text) const {
  const Reference r = MustParse(text);
  return Info(r.area).discrete ? int{Bit(r.area, r.index)} : int{Word(r.area, r.index)};
}

void PlcRef::Set(std::string_view text, int value) {
  const Reference r = MustParse(text);
  if (Info(r.area).discrete) {
    SetBit(r.area, r.index, value != 0);
  } else {
    SetWord(r.area, r.index, static_cast<uint16_t>(value));
  }
}

void PlcRef::Silent(bool on) {
  ChangeFaults([on](Faults& f) { f.silent = on; });
}
void PlcRef::CorruptBcc(int count) {
  ChangeFaults([=](Faults& f) { f.CorruptBcc(count); });
}
void PlcRef::NakRequests(int count, uint8_t code) {
  ChangeFaults([=](Faults& f) { f.NakRequests(count, code); });
}
void PlcRef::ErrorNack(uint8_t major, uint8_t minor, int count, unsigned kinds) {
  ChangeFaults([=](Faults& f) { f.ErrorNack(major, minor, count, kinds); });
}
void PlcRef::ErrorStatus(uint16_t status, int count, unsigned kinds) {
  ChangeFaults([=](Faults& f) { f.ErrorStatus(status, count, kinds); });
}
void PlcRef::Truncate(int count, std::size_t keep) {
  ChangeFaults([=](Faults& f) { f.Truncate(count, keep); });
}
void PlcRef::TextWithoutT(int count) {
  ChangeFaults([=](Faults& f) { f.TextWithoutT(count); });
}
void PlcRef::EndlessText(int count) {
  ChangeFaults([=](Faults& f) { f.EndlessText(count); });
}
void PlcRef::Delay(std::chrono::milliseconds by, int count) {
  ChangeFaults([=](Faults& f) { f.Delay(by, count); });
}
void PlcRef::Noise(std::size_t bytes, int count) {
  ChangeFaults([=](Faults& f) { f.Noise(bytes, count); });
}
void PlcRef::FlipBits(int bits, int count) {
  ChangeFaults([=](Faults& f) { f.FlipBits(bits, count); });
}
void PlcRef::DropByte(int count) {
  ChangeFaults([=](Faults& f) { f.DropByte(count); });
}
void PlcRef::InsertByte(int count) {
  ChangeFaults([=](Faults& f) { f.InsertByte(count); });
}
void PlcRef::ClearFaults() {
  ChangeFaults([](Faults& f) { f.Clear(); });
}
void PlcRef::ChangeFaults(const std::function<void(Faults&)>& change) {
  With([&](Station& s) { change(s.faults); });
}

StationStats PlcRef::Stats() const {
  return With([](Station& s) { return s.stats; });
}

bool PlcRef::Attached() const {
  return With([](Station& s) { return s.attached; });
}

// ---------------------------------------------------------------------------
// Simulator

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), engine_(options_.stations, WithLineTiming(options_)), start_(Clock::now()) {
  if (options_.device.empty()) {
    Pty pty = OpenPty();
    line_ = std::move(pty.master);
    path_ = pty.slavePath;
  } else {
    line_ = OpenSerialDevice(options_.device, options_.line);
    path_ = options_.device;
  }
  wake_ = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (wake_.Get() < 0) throw LineError(std::string("cannot create an event descriptor: ") + std::strerror(errno));
  if (options_.trace) {
    engine_.SetTrace(
        [this](std::string_view line) {
          const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
          char stamp[32];
          std::snprintf(stamp, sizeof stamp, "%9.3f ", seconds);
          options_.trace(std::string(stamp) + std::string(line));
        },
        options_.hexDump);
  }
  thread_ = std::thread([this] { Run(); });
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::PortName() const {
  constexpr std::string_view kDev = "/dev/";
  return path_.rfind(kDev, 0) == 0 ? path_.substr(kDev.size()) : path_;
}

PlcRef Simulator::Plc(int number) {
  Locked([number](Engine& engine) { return &engine.At(number); });
  return PlcRef(this, number);
}

std::vector<int> Simulator::StationNumbers() const {
  std::lock_guard lock(mutex_);
  std::vector<int> numbers;
  for (const StationConfig& station : options_.stations) numbers.push_back(station.number);
  return numbers;
}

void Simulator::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
  line_ = Fd();
}

void Simulator::ReadInput(TimePoint now) {
  const Duration charTime = engine_.Config().charTime;
  uint8_t buffer[kReadChunk];
  for (;;) {
    const ssize_t count = ::read(line_.Get(), buffer, sizeof buffer);
    if (count <= 0) return;
    const std::span<const uint8_t> bytes(buffer, static_cast<std::size_t>(count));
    if (charTime == Duration::zero()) {
      std::lock_guard lock(mutex_);
      engine_.Receive(bytes, Clock::now());
      continue;
    }
    // The driver's write arrived all at once; on the line its bytes follow
    // each other, the first one character time after it was written (or
    // after the driver's previous byte).
    for (const uint8_t byte : bytes) {
      inputFree_ = std::max(inputFree_, now) + charTime;
      input_.push_back({inputFree_, byte});
    }
  }
}

// Hands the stations the paced bytes that have arrived by now, stamped with
// the time the last of them arrived.
void Simulator::DeliverInput(TimePoint now) {
  std::vector<uint8_t> arrived;
  TimePoint at{};
  while (!input_.empty() && input_.front().at <= now) {
    arrived.push_back(input_.front().byte);
    at = input_.front().at;
    input_.pop_front();
  }
  if (arrived.empty()) return;
  std::lock_guard lock(mutex_);
  engine_.Receive(arrived, at);
}

// A frame's bytes follow each other on the line from the time it is due
// (or from the end of the frame before it); byte k has arrived one
// character time after byte k - 1.
void Simulator::QueueOutput(const Transmission& t) {
  const Duration charTime = engine_.Config().charTime;
  TimePoint at = std::max(t.due, outputFree_);
  for (const uint8_t byte : t.bytes) {
    at += charTime;
    output_.push_back({at, byte});
  }
  outputFree_ = at;
}

// Writes every byte that has arrived by now in one write.
void Simulator::WriteOutput(TimePoint now) {
  while (!output_.empty() && output_.front().at <= now) {
    uint8_t chunk[kReadChunk];
    std::size_t count = 0;
    while (count < output_.size() && count < sizeof chunk && output_[count].at <= now) {
      chunk[count] = output_[count].byte;
      ++count;
    }
    const ssize_t written = ::write(line_.Get(), chunk, count);
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        blocked_ = errno == EAGAIN;
        return;
      }
      // Nobody holds the other end: the bytes are lost, as on an open line.
      output_.clear();
      return;
    }
    blocked_ = false;
    output_.erase(output_.begin(), output_.begin() + written);
  }
}

void Simulator::Run() {
  // Paced bytes are due a fraction of a millisecond apart: wake up on time
  // rather than up to the default 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  bool hungUp = false;
  while (!stop_) {
    TimePoint now = Clock::now();
    DeliverInput(now);
    std::optional<TimePoint> next;
    {
      std::lock_guard lock(mutex_);
      engine_.Advance(now);
      for (Transmission& t : engine_.TakeDue(now)) QueueOutput(t);
      next = engine_.NextEvent();
    }
    WriteOutput(now);

    Duration wait = Millis(1000);
    if (next) wait = std::min(wait, std::max(Duration::zero(), *next - now));
    if (!input_.empty()) wait = std::min(wait, std::max(Duration::zero(), input_.front().at - now));
    if (!output_.empty() && !blocked_) {
      wait = std::min(wait, std::max(Duration::zero(), output_.front().at - now));
    }
    if (hungUp) wait = std::min<Duration>(wait, kHangupRetry);

    pollfd fds[2] = {{hungUp ? -1 : line_.Get(), static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0)), 0},
                     {wake_.Get(), POLLIN, 0}};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    const int ready = ::ppoll(fds, 2, &timeout, nullptr);
    hungUp = false;
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) ReadInput(Clock::now());
    if (fds[0].revents & POLLOUT) blocked_ = false;
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) hungUp = true;
  }
}

}  // namespace plcsim
