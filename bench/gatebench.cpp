// gatebench: kelgate under Modbus TCP clients, in front of plcsim paced at
// the line's speed. Four live stations (two SNP, two SNPX) and a fifth, in
// the network file but switched off (plcsim --fault 5:silent); clients each
// read 10 holding registers from their own station every 100 ms, one thread
// and one connection per client (libmodbus), and time every request.
//
//   gatebench --live 4,8,16 --modes reference,pass,health,scan --warmup 30 --measure 30 --out gateway.tsv
//   gatebench --smoke       every mode once with 4 live clients for a few seconds
//
// Modes: reference = pass-through, nobody polls the silent station; pass =
// pass-through as kelgate did before health (--health-failures 0); health =
// pass-through with station health; scan = the stations scanned into the
// cache (--scan '*:R:1-40@MS'). Per live client there is a fifth as many
// clients of the silent station (one per four live ones) except in the
// reference. Each mode runs on a new plcsim and kelgate: a warm-up, then the
// measured window. Every answer carries in its first register the time at
// which the simulated PLC served the read (plcsim --clock), so its data age
// is the time from that read to the client's receipt.
//
// The exit code is 1 when a run could not be measured (the live clients got
// no reply, a silent station's client got a value, no frame crossed the
// line), 2 for bad options.
#include <modbus.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/model.h"
#include "bench/process.h"
#include "bench/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBoard = 1;
constexpr int kLiveStations = 4;
constexpr int kSilentStation = 5;
constexpr int kRegisters = 10;  // per client read
constexpr int kMaxClientsPerStation = 4;
// Stations 1, 2 SNP, 3, 4 SNPX, 5 SNP and switched off: a silent SNP station
// costs the line most, every attach retry the driver makes.
constexpr const char* kNetwork = "01PRESS1\n02PRESS2\n03OVEN1*\n04OVEN2*\n05MUTE\n";
constexpr const char* kSilentId = "\"MUTE\"";  // as the simulator's trace names it
// The first word of every client's range holds the PLC's clock.
constexpr const char* kClockWords = "R1,R11,R21,R31";

struct Options {
  std::vector<int> live{4, 8, 16};
  std::vector<std::string> modes{"reference", "pass", "health", "scan"};
  double warmupS = 30;
  double measureS = 30;
  // How long after the window a request sent within it may still take: it
  // gets no reply after that (longer than any request takes by default).
  double drainS = 20;
  unsigned baud = 19200;
  int periodMs = 100;
  int scanIntervalMs = 1000;
  int gateDeadlineMs = 0;  // kelgate --deadline; 0 keeps its default
  bool smoke = false;
  bool keep = false;  // keep the work folder with the traces and logs
  std::string out;
};

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr,
               "gatebench: %s\n"
               "usage: gatebench [--live 4,8,16] [--modes reference,pass,health,scan] [--warmup S] [--measure S]\n"
               "                 [--drain S] [--baud N] [--period MS] [--scan-interval MS] [--gate-deadline MS] [--out FILE]\n"
               "                 [--keep] [--smoke]\n",
               why.c_str());
  std::exit(2);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage("missing value of " + name);
      return argv[++i];
    };
    try {
      if (name == "--live") {
        o.live.clear();
        for (const std::string& n : SplitList(value())) o.live.push_back(std::stoi(n));
      } else if (name == "--modes") {
        o.modes = SplitList(value());
      } else if (name == "--warmup") {
        o.warmupS = std::stod(value());
      } else if (name == "--measure") {
        o.measureS = std::stod(value());
      } else if (name == "--drain") {
        o.drainS = std::stod(value());
      } else if (name == "--baud") {
        o.baud = static_cast<unsigned>(std::stoul(value()));
      } else if (name == "--period") {
        o.periodMs = std::stoi(value());
      } else if (name == "--scan-interval") {
        o.scanIntervalMs = std::stoi(value());
      } else if (name == "--gate-deadline") {
        o.gateDeadlineMs = std::stoi(value());
      } else if (name == "--out") {
        o.out = value();
      } else if (name == "--keep") {
        o.keep = true;
      } else if (name == "--smoke") {
        o.smoke = true;
      } else {
        Usage("unknown option " + name);
      }
    } catch (const std::logic_error&) {
      Usage("bad value of " + name);
    }
  }
  // The smoke run: every mode with four live clients for a few seconds; a
  // short deadline lets the live clients have their answers (0x0B) within
  // the window while the silent station holds the line in pass-through.
  if (o.smoke) {
    o.live = {4};
    o.warmupS = 1;
    o.measureS = 2;
    o.drainS = 0.5;
    if (o.gateDeadlineMs == 0) o.gateDeadlineMs = 500;
  }
  for (const std::string& m : o.modes) {
    if (m != "reference" && m != "pass" && m != "health" && m != "scan") Usage("unknown mode " + m);
  }
  for (int n : o.live) {
    if (n < 1 || n > kLiveStations * kMaxClientsPerStation) Usage("live clients must be 1 to 16");
  }
  if (o.warmupS < 0 || o.measureS <= 0 || o.drainS <= 0 || o.periodMs < 1 || o.scanIntervalMs < 1) Usage("bad duration");
  return o;
}

// What one request of a client brought.
struct Sample {
  Clock::time_point start;
  Clock::time_point end;
  int exception = 0;  // Modbus exception code; 0 for an answer
  bool failed = false;  // no reply: timeout or connection lost
  double ageMs = -1;    // answers only
};

struct ClientPlan {
  int station;
  int address;  // first holding register (0-based): %R(address + 1)
  bool silent;
};

// Milliseconds of the monotonic clock modulo 65536, as plcsim --clock shows it.
uint16_t Clock16(Clock::time_point t) {
  return static_cast<uint16_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

// One client: a request every period on its own schedule (a late answer
// makes the next request go at once, with no burst to catch up), until
// `stopAt`; the request under way then finishes, or gets no reply after
// `drain`.
void RunClient(int port, const ClientPlan& plan, Clock::time_point firstAt, Clock::time_point stopAt,
               Clock::duration drain, std::chrono::milliseconds period, std::vector<Sample>* samples) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_set_slave(ctx, plan.station);
  bool connected = modbus_connect(ctx) == 0;
  Clock::time_point next = firstAt;
  uint16_t registers[kRegisters];
  while (next < stopAt) {
    std::this_thread::sleep_until(next);
    Sample s;
    s.start = Clock::now();
    if (!connected) connected = modbus_connect(ctx) == 0;
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(stopAt + drain - s.start).count();
    modbus_set_response_timeout(ctx, static_cast<uint32_t>(wait / 1000000), static_cast<uint32_t>(wait % 1000000));
    const int got = connected ? modbus_read_registers(ctx, plan.address, kRegisters, registers) : -1;
    s.end = Clock::now();
    if (got == kRegisters) {
      s.ageMs = static_cast<uint16_t>(Clock16(s.end) - registers[0]);
    } else if (connected && errno > MODBUS_ENOBASE && errno <= MODBUS_ENOBASE + 0x0B) {
      s.exception = errno - MODBUS_ENOBASE;
    } else {
      s.failed = true;
      modbus_close(ctx);
      connected = false;
    }
    samples->push_back(s);
    next = std::max(next + period, Clock::now());
  }
  modbus_close(ctx);
  modbus_free(ctx);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What the simulator's trace shows of the window between two offsets of its
// file: the frames (every "rx" line, from the gateway, and "tx" line, from a
// station, noise aside), how often station 1 was read (the median time
// between its reads; in a scan, the scan's period) and how long the gateway's
// tries to reach the silent station held the line: each burst of them from
// its first try to one try's time after its last.
struct TraceFigures {
  long frames = 0;
  double readPeriodMs = -1;
  double silentLineS = 0;
};

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

TraceFigures ReadTrace(const std::string& trace, std::size_t from, std::size_t to) {
  std::ifstream in(trace, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  to = std::min(to, text.size());
  // A line counts when its newline lies in the window.
  std::size_t at = from == 0 ? 0 : text.rfind('\n', from - 1);
  at = from == 0 || at == std::string::npos ? 0 : at + 1;
  static const std::regex kFrame(R"(^\s*([0-9.]+) (rx|tx) )");
  TraceFigures figures;
  std::vector<double> reads, silent;
  while (at < to) {
    const std::size_t newline = text.find('\n', at);
    if (newline == std::string::npos || newline >= to) break;
    const std::string line = text.substr(at, newline - at);
    at = newline + 1;
    std::smatch m;
    if (!std::regex_search(line, m, kFrame) || line.find("bytes of noise") != std::string::npos) continue;
    ++figures.frames;
    if (m[2] == "rx" && line.find(" read ") != std::string::npos && line.find("-> station 1 \"") != std::string::npos) {
      reads.push_back(1000 * std::stod(m[1]));
    }
    if (m[2] == "rx" && line.find(kSilentId) != std::string::npos) silent.push_back(std::stod(m[1]));
  }
  // Tries of one request follow each other within a second; probes and
  // requests are seconds apart.
  std::vector<double> tries;
  for (std::size_t k = 1; k < silent.size(); ++k) {
    if (silent[k] - silent[k - 1] < 1) tries.push_back(silent[k] - silent[k - 1]);
  }
  const double oneTry = tries.empty() ? 0 : Percentile(tries, 0.5);
  for (std::size_t k = 0; k < silent.size(); ++k) {
    const bool burstEnds = k + 1 == silent.size() || silent[k + 1] - silent[k] >= 1;
    figures.silentLineS += burstEnds ? oneTry : silent[k + 1] - silent[k];
  }
  std::vector<double> gaps;
  for (std::size_t k = 1; k < reads.size(); ++k) gaps.push_back(reads[k] - reads[k - 1]);
  figures.readPeriodMs = Percentile(gaps, 0.5);
  return figures;
}

std::size_t FileSize(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether this kelgate has the scan and health options (its help names them).
bool GatewayHasScan(const std::string& folder) {
  bench::Child help({folder + "kelgate", "--help"}, "/dev/null");
  const std::string text = help.ReadAll();
  return text.find("--scan") != std::string::npos && text.find("--health-failures") != std::string::npos;
}

std::string Codes(const std::map<int, long>& codes) {
  std::string text;
  for (const auto& [code, n] : codes) {
    char item[32];
    std::snprintf(item, sizeof item, "%s0x%02X:%ld", text.empty() ? "" : ",", code, n);
    text += item;
  }
  return text.empty() ? "-" : text;
}

// The line time of one scan pass over the live stations: each SNP station
// attached and its scanned block (40 registers) read; one broadcast attach
// for both SNPX stations, then their blocks.
double CycleModelMs(unsigned baud) {
  using namespace bench;
  const std::size_t block = 2 * kRegisters * kMaxClientsPerStation;
  const Exchange snp = SnpAttach() + SnpRead(block);
  return 2 * ModelMs(LineModel{baud, 11, 5}, snp) +
         ModelMs(LineModel{baud, 11, 5}, SnpxBroadcastAttach() + SnpxRead(block) + SnpxRead(block));
}

struct RunResult {
  bool measured = true;
  std::string row;
};

RunResult RunMode(const Options& o, const std::string& folder, const std::string& mode, int live, bool hasHealth) {
  const int silent = mode == "reference" ? 0 : std::max(1, live / kLiveStations);
  const std::string tag = mode + "-" + std::to_string(live);
  const std::string trace = "plcsim-" + tag + ".trace";
  const std::string log = "kelgate-" + tag + ".log";

  bench::Child sim({folder + "plcsim", "--network", "kelG101.int", "--baud", std::to_string(o.baud), "--pace",
                    "--trace", "--fault", std::to_string(kSilentStation) + ":silent", "--clock", kClockWords},
                   trace);
  const std::string device = sim.ReadLine();
  if (device.rfind("/dev/", 0) != 0) throw std::runtime_error("plcsim printed no device: " + device);

  std::vector<std::string> gateArgs{folder + "kelgate", "--port", device.substr(5), "--board",
                                    std::to_string(kBoard), "--baud", std::to_string(o.baud), "--listen",
                                    "127.0.0.1:0", "--max-clients", "64"};
  if (o.gateDeadlineMs > 0) {
    gateArgs.push_back("--deadline");
    gateArgs.push_back(std::to_string(o.gateDeadlineMs));
  }
  // Health: 0 turns it off (pass-through as before health existed), 1
  // demotes a station after one failed request. The scan covers every
  // client's range.
  if (mode == "reference" || mode == "pass") {
    if (hasHealth) gateArgs.insert(gateArgs.end(), {"--health-failures", "0"});
  } else if (mode == "health") {
    gateArgs.insert(gateArgs.end(), {"--health-failures", "1"});
  } else {
    gateArgs.insert(gateArgs.end(), {"--scan", "*:R:1-" + std::to_string(kRegisters * kMaxClientsPerStation) + "@" +
                                                   std::to_string(o.scanIntervalMs)});
  }
  bench::Child gate(gateArgs, log);
  int port = 0;
  static const std::regex kListening(R"( at 127\.0\.0\.1:(\d+);)");
  for (int tries = 0; tries < 200 && port == 0; ++tries) {
    std::smatch m;
    const std::string text = ReadFile(log);
    if (std::regex_search(text, m, kListening)) {
      port = std::stoi(m[1]);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (port == 0) throw std::runtime_error("kelgate did not start: " + ReadFile(log));

  std::vector<ClientPlan> plans;
  for (int k = 0; k < live; ++k) plans.push_back({1 + k % kLiveStations, kRegisters * (k / kLiveStations), false});
  for (int k = 0; k < silent; ++k) plans.push_back({kSilentStation, kRegisters * (k % kMaxClientsPerStation), true});

  const auto period = std::chrono::milliseconds(o.periodMs);
  const auto begin = Clock::now() + std::chrono::milliseconds(100);
  const auto windowStart = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.warmupS));
  const auto windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.measureS));
  std::vector<std::vector<Sample>> samples(plans.size());
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < plans.size(); ++k) {
    // The clients' first requests spread over one period.
    const auto first = begin + period * static_cast<int>(k) / static_cast<int>(plans.size());
    threads.emplace_back(RunClient, port, plans[k], first, windowEnd,
                         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.drainS)), period,
                         &samples[k]);
  }
  std::this_thread::sleep_until(windowStart);
  const std::size_t traceFrom = FileSize(trace);
  std::this_thread::sleep_until(windowEnd);
  const std::size_t traceTo = FileSize(trace);
  for (std::thread& t : threads) t.join();
  // kelgate lets the request on the line finish before it stops (a silent
  // station's takes seconds); the smoke run does not wait for that.
  gate.Stop(o.smoke ? SIGKILL : SIGTERM);
  sim.Stop(SIGTERM);

  // Answers count when they arrive within the window; latencies are those of
  // the requests sent within it (each waited for to its end).
  const double windowS = Ms(windowEnd - windowStart) / 1000;
  long liveAnswers = 0, liveFailed = 0, silentRequests = 0, silentGateway = 0, silentOther = 0, silentFailed = 0;
  std::map<int, long> liveCodes, silentCodes;
  std::vector<double> liveLatency, silentLatency, ages;
  for (std::size_t k = 0; k < plans.size(); ++k) {
    for (const Sample& s : samples[k]) {
      const bool sentIn = s.start >= windowStart && s.start < windowEnd;
      const bool endedIn = s.end >= windowStart && s.end < windowEnd;
      if (plans[k].silent) {
        if (!sentIn) continue;
        ++silentRequests;
        if (s.failed) {
          ++silentFailed;
          continue;
        }
        silentLatency.push_back(Ms(s.end - s.start));
        if (s.exception == 0x0B) {
          ++silentGateway;
        } else {
          ++silentOther;
        }
        if (s.exception != 0) ++silentCodes[s.exception];
        continue;
      }
      if (endedIn && !s.failed && s.exception == 0) {
        ++liveAnswers;
        ages.push_back(s.ageMs);
      }
      if (!sentIn) continue;
      if (s.failed) {
        ++liveFailed;
        continue;
      }
      liveLatency.push_back(Ms(s.end - s.start));
      if (s.exception != 0) ++liveCodes[s.exception];
    }
  }
  long liveExceptions = 0;
  for (const auto& [code, n] : liveCodes) liveExceptions += n;
  const TraceFigures line = ReadTrace(trace, traceFrom, traceTo);
  const long frames = line.frames;
  if (!o.keep) {
    std::filesystem::remove(trace);
    std::filesystem::remove(log);
  }

  char row[1024];
  std::snprintf(row, sizeof row,
                "%s\t%d\t%d\t%u\t%.0f\t%.0f\t%d\t%d\t%ld\t%.3f\t%.3f\t%.3f\t%ld\t%s\t%ld\t%ld\t%.3f\t%.3f\t%ld\t%ld\t%s\t"
                "%.1f\t%.1f\t%zu\t%ld\t%.3f\t%.1f\t%.2f\t%.1f",
                mode.c_str(), live, silent, o.baud, o.warmupS, o.measureS, o.periodMs,
                mode == "scan" ? o.scanIntervalMs : 0, liveAnswers, liveAnswers / windowS,
                Percentile(liveLatency, 0.5), Percentile(liveLatency, 0.99), liveExceptions, Codes(liveCodes).c_str(),
                liveFailed, silentRequests, Percentile(silentLatency, 0.5), Percentile(silentLatency, 0.99),
                silentGateway, silentOther + silentFailed, Codes(silentCodes).c_str(), Percentile(ages, 0.5),
                Percentile(ages, 0.99), ages.size(), frames, frames / windowS, line.readPeriodMs, line.silentLineS,
                CycleModelMs(o.baud));
  std::fprintf(stderr,
               "%-9s %2d live + %d silent: %6.2f answers/s, latency median %8.1f ms p99 %8.1f ms, %ld exceptions; "
               "silent median %8.1f ms; age median %7.1f ms p99 %7.1f ms; %ld frames\n",
               mode.c_str(), live, silent, liveAnswers / windowS, Percentile(liveLatency, 0.5),
               Percentile(liveLatency, 0.99), liveExceptions, Percentile(silentLatency, 0.5), Percentile(ages, 0.5),
               Percentile(ages, 0.99), frames);
  // A run that measured nothing, or a silent station that seemed to answer,
  // means the set-up is wrong, not that the gateway is slow.
  RunResult result;
  result.row = row;
  result.measured = (liveAnswers > 0 || !liveLatency.empty()) && silentOther == 0 && frames > 0;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  const std::string folder = bench::ProgramFolder();

  // kelgate reads the board's network file from the current folder.
  char work[] = "/tmp/gatebench.XXXXXX";
  if (mkdtemp(work) == nullptr || chdir(work) != 0) {
    std::perror("gatebench: work folder");
    return 2;
  }
  struct Cleanup {
    std::string path;
    bool keep;
    ~Cleanup() {
      if (keep) {
        std::fprintf(stderr, "gatebench: traces and logs kept in %s\n", path.c_str());
      } else {
        std::filesystem::remove_all(path);
      }
    }
  } cleanup{work, o.keep};
  std::ofstream(std::string("kelG1") + (kBoard < 10 ? "0" : "") + std::to_string(kBoard) + ".int") << kNetwork;

  const bool scan = GatewayHasScan(folder);
  std::FILE* out = o.out.empty() ? stdout : std::fopen(o.out.c_str(), "w");
  if (out == nullptr) {
    std::perror(o.out.c_str());
    return 2;
  }
  std::fprintf(out,
               "mode\tlive\tsilent\tbaud\twarmup_s\tmeasure_s\tperiod_ms\tscan_ms\tlive_answers\tlive_per_s\t"
               "live_median_ms\tlive_p99_ms\tlive_exceptions\tlive_codes\tlive_failed\tsilent_requests\t"
               "silent_median_ms\tsilent_p99_ms\tsilent_0x0B\tsilent_other\tsilent_codes\tage_median_ms\t"
               "age_p99_ms\tages\tframes\tframes_per_s\tread_period_ms\tsilent_line_s\tcycle_model_ms\n");
  int failed = 0;
  for (const std::string& mode : o.modes) {
    if (!scan && mode != "reference" && mode != "pass") {
      std::fprintf(stderr, "gatebench: %s skipped: this kelgate has no --scan and --health-failures\n",
                   mode.c_str());
      continue;
    }
    for (int live : o.live) {
      try {
        RunResult r = RunMode(o, folder, mode, live, scan);
        std::fprintf(out, "%s\n", r.row.c_str());
        std::fflush(out);
        if (!r.measured) {
          std::fprintf(stderr, "gatebench: %s with %d live clients measured nothing sound\n", mode.c_str(), live);
          ++failed;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "gatebench: %s with %d live clients: %s\n", mode.c_str(), live, e.what());
        ++failed;
      }
    }
  }
  if (out != stdout) std::fclose(out);
  return failed == 0 ? 0 : 1;
}
