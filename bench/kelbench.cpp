// kelbench: the driver module through KelMain, as a host calls it, against
// plcsim on a pseudo-terminal, for the requests a host scans with. Each case
// is timed over repetitions and set against the time its frames must take
// on the line (bench/model.h).
//
//   kelbench --baud 19200 --reps 15 --out results.tsv    paced line, timed
//   kelbench --smoke                                      every case once, unpaced
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=KelMain kelbench --cpu
//                                                         instructions per request
//                                                         (--cpu-paced: on the paced line)
//
// The exit code is 1 when any request of any case failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) ((void)(name))
#endif

#include "bench/model.h"
#include "bench/process.h"
#include "bench/stats.h"
#include "host/driver_module.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  unsigned baud = 19200;
  int reps = 15;
  int scanReps = 5;
  int bigScanReps = 3;  // for the 64-station scans
  double turnaroundMs = 5;
  bool pace = true;
  bool scans = true;
  bool mix = true;
  bool smoke = false;
  bool cpu = false;
  bool cpuPaced = false;  // count on the paced line, where bytes come one by one
  std::vector<int> scanSizes{1, 4, 16, 64};
  std::string out;  // TSV file; standard output when empty
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "kelbench: %s\n"
               "usage: kelbench [--baud N] [--reps N] [--scan-reps N] [--big-scan-reps N] [--turnaround MS]\n"
               "                [--no-scans] [--no-mix] [--scan-sizes 1,4,16,64] [--out FILE] [--smoke] [--cpu]\n"
               "                [--cpu-paced]\n",
               why);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value of " + name).c_str());
      return argv[++i];
    };
    if (name == "--baud") {
      o.baud = static_cast<unsigned>(std::stoul(value()));
    } else if (name == "--reps") {
      o.reps = std::stoi(value());
    } else if (name == "--scan-reps") {
      o.scanReps = std::stoi(value());
    } else if (name == "--big-scan-reps") {
      o.bigScanReps = std::stoi(value());
    } else if (name == "--turnaround") {
      o.turnaroundMs = std::stod(value());
    } else if (name == "--no-scans") {
      o.scans = false;
    } else if (name == "--no-mix") {
      o.mix = false;
    } else if (name == "--scan-sizes") {
      o.scanSizes.clear();
      const std::string list = value();
      for (std::size_t at = 0; at < list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        o.scanSizes.push_back(std::stoi(list.substr(at, comma - at)));
        at = comma + 1;
      }
    } else if (name == "--out") {
      o.out = value();
    } else if (name == "--smoke") {
      o.smoke = true;
    } else if (name == "--cpu") {
      o.cpu = true;
    } else if (name == "--cpu-paced") {
      o.cpu = true;
      o.cpuPaced = true;
    } else {
      Usage(("unknown option " + name).c_str());
    }
  }
  // The smoke run: every case once on an unpaced line, scans kept short.
  if (o.smoke) {
    o.pace = false;
    o.reps = o.scanReps = o.bigScanReps = 1;
    o.scanSizes = {1, 4};
  }
  if (o.cpu) {
    o.pace = o.cpuPaced;
    o.scans = false;
  }
  if (o.baud > 65535) Usage("the driver's baud rate field holds at most 65535");
  if (o.reps < 1 || o.scanReps < 1 || o.bigScanReps < 1) Usage("repetitions must be at least 1");
  return o;
}

// One plcsim process serving a network file on a new pseudo-terminal.
class SimProcess {
 public:
  SimProcess(const std::string& network, const Options& o) {
    std::vector<std::string> args{bench::ProgramFolder() + "plcsim", "--network", network, "--baud",
                                  std::to_string(o.baud), "--turnaround",
                                  std::to_string(static_cast<int>(o.turnaroundMs)), "--zero"};
    if (o.pace) args.push_back("--pace");
    child_ = std::make_unique<bench::Child>(args, "/dev/null");
    // The first line of its output is the driver's end of the line.
    const std::string line = child_->ReadLine();
    if (line.rfind("/dev/", 0) != 0) throw std::runtime_error("plcsim printed no device: " + line);
    port_ = line.substr(5);
  }
  const std::string& Port() const { return port_; }

 private:
  std::unique_ptr<bench::Child> child_;
  std::string port_;
};

// Station k of each board is "S" or "X" and its two digits; board 1 holds
// 64 SNP stations, board 2 64 SNPX stations, each on its own line.
constexpr int kStations = 64;
constexpr int kSnpBoard = 1;
constexpr int kSnpxBoard = 2;

std::string WriteNetwork(int board, bool snpx) {
  char name[32];
  std::snprintf(name, sizeof name, "kelG1%02d.int", board);
  std::ofstream file(name);
  for (int k = 1; k <= kStations; ++k) {
    char line[64];
    std::snprintf(line, sizeof line, "%02d%c%02d%s\n", k, snpx ? 'X' : 'S', k, snpx ? "*" : "");
    file << line;
  }
  return std::filesystem::absolute(name).string();
}

struct Case {
  std::string name;
  std::string kind;  // "mix" or "scan"
  bool snpx;
  int stations;  // on the line for a scan, 1 otherwise
  int reps;
  bench::Exchange model;
  std::function<bool()> run;  // one repetition; false when a request failed
  std::function<bool()> warm;  // before the timing: attach the station the case starts on
};

struct Line {
  std::unique_ptr<SimProcess> sim;
  std::unique_ptr<Board> board;
};

class Bench {
 public:
  Bench(const Options& o, const DriverModule& module) : o_(o), module_(module) {}

  bool Open(Line* line, int number, bool snpx) {
    line->sim = std::make_unique<SimProcess>(WriteNetwork(number, snpx), o_);
    line->board = std::make_unique<Board>(module_, number);
    const int32_t loaded = line->board->Load(line->sim->Port(), 1000, LineOptions{static_cast<uint16_t>(o_.baud)});
    if (loaded != 0) std::fprintf(stderr, "kelbench: load of board %d on %s gave %d\n", number, line->sim->Port().c_str(), loaded);
    return loaded == 0;
  }

  Tag* Parsed(Board& board, const std::string& gas, int32_t count, bool block) {
    tags_.push_back(std::make_unique<Tag>());
    Tag* tag = tags_.back().get();
    if (board.Parse(gas, count, block, tag) != 0) {
      std::fprintf(stderr, "kelbench: %s does not parse\n", gas.c_str());
      return nullptr;
    }
    return tag;
  }

  std::function<bool()> Reader(Board& board, Tag* tag) {
    return [&board, tag] {
      std::vector<uint16_t> values;
      return tag != nullptr && board.Read(*tag, &values) == 0;
    };
  }

  std::vector<Case> Cases(Line& snp, Line& snpx) {
    using namespace bench;
    std::vector<Case> cases;
    Board& s = *snp.board;
    Board& x = *snpx.board;
    if (o_.mix) {
      auto mix = [&](std::string name, bool isSnpx, Exchange model, std::function<bool()> run) {
        cases.push_back(Case{std::move(name), "mix", isSnpx, 1, o_.reps, std::move(model), run, run});
      };
      mix("SNPX read 1 register", true, SnpxRead(2), Reader(x, Parsed(x, "01R00001", 1, false)));
      mix("SNPX read 100 registers", true, SnpxRead(200), Reader(x, Parsed(x, "01R00001", 100, true)));
      mix("SNPX read 256 registers", true, SnpxRead(512), Reader(x, Parsed(x, "01R00001", 256, true)));
      Tag* bit = Parsed(x, "01R000013", 1, false);
      mix("SNPX write 1 bit in %R", true, SnpxBitWriteInRegister(), [&x, bit, value = uint16_t{0}]() mutable {
        value ^= 1;
        return bit != nullptr && x.Write(*bit, {value}) == 0;
      });
      mix("SNP read 1 register", false, SnpRead(2), Reader(s, Parsed(s, "01R00001", 1, false)));
      mix("SNP read 100 registers", false, SnpRead(200), Reader(s, Parsed(s, "01R00001", 100, true)));
      mix("SNP read 500 registers", false, SnpRead(1000), Reader(s, Parsed(s, "01R00001", 500, true)));
      Tag* five = Parsed(s, "01R00010", 5, true);
      mix("SNP write 5 registers", false, SnpWrite(10), [&s, five, value = uint16_t{0}]() mutable {
        ++value;
        return five != nullptr && s.Write(*five, {value, 2, 3, 4, 5}) == 0;
      });
    }
    if (o_.scans) {
      for (const bool isSnpx : {false, true}) {
        for (const int n : o_.scanSizes) {
          Board& board = isSnpx ? x : s;
          std::vector<std::function<bool()>> reads;
          for (int k = 1; k <= n; ++k) {
            char gas[32];
            std::snprintf(gas, sizeof gas, "%02dR00001", k);
            reads.push_back(Reader(board, Parsed(board, gas, 1, false)));
          }
          auto scan = [reads] {
            bool ok = true;
            for (const auto& read : reads) ok = read() && ok;
            return ok;
          };
          char name[64];
          std::snprintf(name, sizeof name, "%s scan of %d station%s", isSnpx ? "SNPX" : "SNP", n, n == 1 ? "" : "s");
          // The scan starts where the previous one ended: on its last station.
          cases.push_back(Case{name, "scan", isSnpx, n, n >= 64 ? o_.bigScanReps : o_.scanReps, Scan(isSnpx, n), scan,
                               reads.back()});
        }
      }
    }
    return cases;
  }

 private:
  const Options& o_;
  const DriverModule& module_;
  std::vector<std::unique_ptr<Tag>> tags_;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);

  // The driver reads each board's network file from the current folder.
  char work[] = "/tmp/kelbench.XXXXXX";
  if (mkdtemp(work) == nullptr || chdir(work) != 0) {
    std::perror("kelbench: work folder");
    return 2;
  }
  struct Cleanup {
    std::string path;
    ~Cleanup() { std::filesystem::remove_all(path); }
  } cleanup{work};

  DriverModule module;
  if (!module.Load()) {
    std::fprintf(stderr, "kelbench: %s\n", module.Error().c_str());
    return 2;
  }
  Bench bench(o, module);
  Line snp, snpx;
  try {
    if (!bench.Open(&snp, kSnpBoard, false) || !bench.Open(&snpx, kSnpxBoard, true)) return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelbench: %s\n", e.what());
    return 2;
  }
  std::vector<Case> cases = bench.Cases(snp, snpx);

  std::FILE* out = o.out.empty() ? stdout : std::fopen(o.out.c_str(), "w");
  if (out == nullptr) {
    std::perror(o.out.c_str());
    return 2;
  }
  std::fprintf(out,
               "case\tkind\tprotocol\tstations\tbaud\tpaced\treps\terrors\tmedian_ms\tmin_ms\tmax_ms\tp10_ms\tp90_ms\t"
               "model_ms\tratio\tbytes\tturnarounds\tpauses_ms\n");
  const bench::LineModel line{o.baud, 11, o.turnaroundMs};
  int failedCases = 0;
  for (Case& c : cases) {
    int errors = c.warm() ? 0 : 1;
    std::vector<double> samples;
    if (o.cpu) CALLGRIND_ZERO_STATS;
    for (int r = 0; r < c.reps; ++r) {
      const auto start = Clock::now();
      const bool ok = c.run();
      samples.push_back(Ms(Clock::now() - start));
      if (!ok) ++errors;
    }
    if (o.cpu) CALLGRIND_DUMP_STATS_AT(c.name.c_str());
    const bench::Summary s = bench::Summarize(samples);
    const double model = bench::ModelMs(line, c.model);
    std::fprintf(out, "%s\t%s\t%s\t%d\t%u\t%d\t%d\t%d\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.4f\t%zu\t%zu\t%.0f\n",
                 c.name.c_str(), c.kind.c_str(), c.snpx ? "SNPX" : "SNP", c.stations, o.baud, o.pace ? 1 : 0, c.reps,
                 errors, s.median, s.min, s.max, s.p10, s.p90, model, o.pace ? s.median / model : 0.0,
                 bench::BytesOnLine(c.model), bench::Turnarounds(c.model), bench::PausesMs(c.model));
    std::fflush(out);
    std::fprintf(stderr, "%-28s %5u baud  median %9.2f ms  model %9.2f ms%s\n", c.name.c_str(), o.baud, s.median,
                 model, errors != 0 ? "  FAILED" : "");
    if (errors != 0) ++failedCases;
  }
  if (out != stdout) std::fclose(out);
  snp.board->Close();
  snpx.board->Close();
  return failedCases == 0 ? 0 : 1;
}
