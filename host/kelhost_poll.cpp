#include "host/kelhost_poll.h"

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <map>
#include <thread>

#include "address/gas.h"
#include "host/text_format.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;

void OnInterrupt(int) { g_stop = 1; }

bool StdoutIsTerminal() {
#if defined(_WIN32)
  if (!_isatty(_fileno(stdout))) return false;
  // Redrawing in place needs the console to take escape sequences.
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | 0x0004 /* virtual terminal processing */);
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

std::string WallClock(bool milliseconds) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  if (!milliseconds) return text;
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  char full[40];
  std::snprintf(full, sizeof full, "%s.%03ld", text, ms);
  return full;
}

// Failure kinds in the order of the counter columns; refusals count as other.
constexpr FailureKind kColumns[] = {FailureKind::kNoResponse, FailureKind::kChecksum,    FailureKind::kNak,
                                    FailureKind::kPlcError,   FailureKind::kNotAttached, FailureKind::kOther};

struct TagState {
  std::vector<uint16_t> values;
  bool hasValue = false;
  Clock::time_point lastGood;
  FailureKind status = FailureKind::kNone;
  bool polled = false;
};

struct StationCounters {
  long requests = 0;
  long successes = 0;
  long failures[sizeof kColumns / sizeof kColumns[0]] = {};
};

size_t ColumnOf(FailureKind kind) {
  for (size_t k = 0; k < sizeof kColumns / sizeof kColumns[0]; ++k) {
    if (kColumns[k] == kind) return k;
  }
  return sizeof kColumns / sizeof kColumns[0] - 1;
}

class Poller {
 public:
  Poller(const Options& options, Board& board, FailureCollector& collector, const std::vector<Operation>& operations,
         const std::vector<Tag>& tags)
      : options_(options), board_(board), collector_(collector), operations_(operations), tags_(tags),
        states_(tags.size()) {
    for (const Tag& tag : tags_) stations_[tag.parsed.station];
  }

  int Run() {
    terminal_ = StdoutIsTerminal();
    // On a terminal the driver's messages would scroll the table away; the
    // last error line shows them instead.
    if (terminal_) collector_.SetEcho(false);
    g_stop = 0;
    void (*previous)(int) = std::signal(SIGINT, OnInterrupt);
    const Clock::time_point begin = Clock::now();
    if (terminal_) std::fputs("\x1b[2J", stdout);
    while (!g_stop && (options_.count == 0 || rounds_ < options_.count)) {
      const Clock::time_point start = Clock::now();
      Round();
      if (terminal_) Draw();
      const Clock::time_point next = start + std::chrono::milliseconds(options_.intervalMs);
      if (options_.count != 0 && rounds_ >= options_.count) break;
      while (!g_stop && Clock::now() < next) {
        std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(50)));
      }
    }
    std::signal(SIGINT, previous);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    if (!terminal_) std::fputs(Counters().c_str(), stdout);
    std::printf("%s after %ld round%s in %.1f s\n", g_stop ? "stopped" : "done", rounds_, rounds_ == 1 ? "" : "s",
                seconds);
    std::fflush(stdout);
    return lastError_.empty() ? 0 : 1;
  }

 private:
  void Round() {
    ++rounds_;
    const Clock::time_point start = Clock::now();
    for (size_t k = 0; k < tags_.size() && !g_stop; ++k) {
      const Tag& tag = tags_[k];
      TagState& state = states_[k];
      StationCounters& counters = stations_[tag.parsed.station];
      std::vector<uint16_t> values;
      collector_.Begin();
      const int32_t result = board_.Read(tag, &values);
      const FailureKind kind = collector_.End(result);
      ++counters.requests;
      state.polled = true;
      state.status = kind;
      if (result == 0) {
        ++counters.successes;
        state.values = values;
        state.hasValue = true;
        state.lastGood = Clock::now();
      } else {
        ++counters.failures[ColumnOf(kind)];
        lastError_ = WallClock(false) + "  " + operations_[k].text + ": " + FailureKindName(kind);
        if (!collector_.CauseMessage().empty()) lastError_ += " (" + collector_.CauseMessage() + ")";
      }
      // Redrawn after every tag, so that a slow station does not freeze the
      // screen for a whole round.
      if (terminal_) Draw();
      if (!terminal_ && result == 0) {
        std::printf("%s  round %ld  %s =%s  ok\n", WallClock(true).c_str(), rounds_, operations_[k].text.c_str(),
                    FormatValues(tag, values, options_.hex).c_str());
      } else if (!terminal_) {
        std::printf("%s  round %ld  %s: %s\n", WallClock(true).c_str(), rounds_, operations_[k].text.c_str(),
                    FailureKindName(kind));
      }
    }
    lastRoundMs_ = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    totalRoundMs_ += lastRoundMs_;
    if (!terminal_) {
      std::printf("%s  round %ld  time %.1f ms\n", WallClock(true).c_str(), rounds_, lastRoundMs_);
      std::fflush(stdout);
    }
  }

  std::string Counters() const {
    std::string text = "NN  requests  successes";
    for (FailureKind kind : kColumns) text += std::string("  ") + FailureKindName(kind);
    text += "\n";
    for (const auto& [station, counters] : stations_) {
      text += Format("%02d  %8ld  %9ld", station, counters.requests, counters.successes);
      for (size_t k = 0; k < sizeof kColumns / sizeof kColumns[0]; ++k) {
        const int width = static_cast<int>(std::strlen(FailureKindName(kColumns[k])));
        text += Format("  %*ld", width, counters.failures[k]);
      }
      text += "\n";
    }
    text += "last error  " + (lastError_.empty() ? std::string("none") : lastError_) + "\n";
    text += Format("round time  %.1f ms (mean %.1f ms over %ld round%s)\n", lastRoundMs_,
                   rounds_ ? totalRoundMs_ / static_cast<double>(rounds_) : 0.0, rounds_, rounds_ == 1 ? "" : "s");
    return text;
  }

  void Draw() const {
    std::string screen = Format("kelhost poll  board %d on %s  every %d ms  round %ld  %s  (Ctrl-C stops)\n\n",
                                static_cast<int>(board_.Number()), options_.port.c_str(), options_.intervalMs, rounds_,
                                WallClock(false).c_str());
    screen += Format("%-14s  %-32s  %8s  %s\n", "tag", "value", "age", "status");
    const Clock::time_point now = Clock::now();
    for (size_t k = 0; k < tags_.size(); ++k) {
      const TagState& state = states_[k];
      std::string value = state.hasValue ? FormatValues(tags_[k], state.values, options_.hex).substr(1) : "-";
      if (value.size() > 32) value = value.substr(0, 29) + "...";
      const std::string age =
          state.hasValue ? Format("%.1f s", std::chrono::duration<double>(now - state.lastGood).count()) : "-";
      const char* status = !state.polled ? "" : state.status == FailureKind::kNone ? "ok" : FailureKindName(state.status);
      screen += Format("%-14s  %-32s  %8s  %s\n", operations_[k].text.c_str(), value.c_str(), age.c_str(), status);
    }
    screen += "\n" + Counters();
    // Home, each line cleared to its end, and the rest of the screen cleared.
    std::string out = "\x1b[H";
    size_t start = 0;
    for (size_t end; (end = screen.find('\n', start)) != std::string::npos; start = end + 1) {
      out += screen.substr(start, end - start) + "\x1b[K\n";
    }
    out += "\x1b[J";
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
  }

  const Options& options_;
  Board& board_;
  FailureCollector& collector_;
  const std::vector<Operation>& operations_;
  const std::vector<Tag>& tags_;
  std::vector<TagState> states_;
  std::map<int32_t, StationCounters> stations_;
  std::string lastError_;
  long rounds_ = 0;
  double lastRoundMs_ = 0;
  double totalRoundMs_ = 0;
  bool terminal_ = false;
};

}  // namespace

std::string FormatValues(const Tag& tag, const std::vector<uint16_t>& values, bool hex) {
  std::string text;
  char item[32];
  const bool wide = tag.parsed.width == 32;
  const bool bits = tag.parsed.dataType == kDataTypeDigital;
  for (size_t k = 0; k < static_cast<size_t>(tag.count); ++k) {
    if (wide) {
      const uint32_t value = static_cast<uint32_t>(values[2 * k]) | (static_cast<uint32_t>(values[2 * k + 1]) << 16);
      std::snprintf(item, sizeof item, hex ? " 0x%08" PRIX32 : " %" PRIu32, value);
    } else {
      std::snprintf(item, sizeof item, hex && !bits ? " 0x%04X" : " %u", values[k]);
    }
    text += item;
  }
  return text;
}


int RunPoll(const Options& options, Board& board, FailureCollector& collector, const std::vector<Operation>& operations,
            const std::vector<Tag>& tags) {
  Poller poller(options, board, collector, operations, tags);
  return poller.Run();
}
