// kelhost: a command-line host for commissioning a line. Loads the driver
// module as a SCADA runtime does, loads one board and reads and writes tags,
// checks the board's network file, scans its stations or polls tags.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "context/driver_context.h"
#include "host/driver_module.h"
#include "host/failure_kind.h"
#include "host/kelhost_cli.h"
#include "host/kelhost_poll.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Writes a CP437 text as UTF-8 for the terminal.
void PrintCp437(const char* text) {
  static const char* const kHigh[] = {"\u2502", "\u250c", "\u2510", "\u2514", "\u2518", "\u2500",
                                      "\u2588", "\u2593", "\u2592", "\u2591"};
  static const unsigned char kCodes[] = {0xB3, 0xDA, 0xBF, 0xC0, 0xD9, 0xC4, 0xDB, 0xB2, 0xB1, 0xB0};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    const char* replacement = nullptr;
    for (size_t k = 0; k < sizeof kCodes; ++k) {
      if (kCodes[k] == *p) replacement = kHigh[k];
    }
    if (replacement) {
      std::fputs(replacement, stdout);
    } else {
      std::putchar(*p < 0x80 ? *p : '?');
    }
  }
}

void PrintInfo(const DriverInfo& info) {
  std::printf("%s, version %d.%02d, context %d bytes, default line %u baud %u data bits parity %u stop %u\n",
              info.name, info.version / 100, info.version % 100, info.contextSize, info.defaultLine.baudRate,
              info.defaultLine.dataBits, info.defaultLine.parity, info.defaultLine.stopBits);
  PrintCp437(info.banner);
}

class Host {
 public:
  Host(const Options& options, const DriverModule& module)
      : options_(options), module_(module), board_(module, options.board) {
    collector_.SetEcho(!options.quiet);
  }

  int Run() {
    switch (options_.command) {
      case Command::kCheck: return Check();
      case Command::kScan: return Scan();
      case Command::kPoll: return Poll();
      default: return Operations();
    }
  }

 private:
  // Loads the board on the port and parses every tag through the driver,
  // before anything is sent. The driver's messages are held back meanwhile,
  // so that a refusal is one line that quotes the driver's own message;
  // throws UsageError for a tag the driver refuses, false (with one line
  // said) for a board it cannot load.
  bool Prepare(const std::vector<Operation>& operations, std::vector<Tag>* tags) {
    std::vector<std::pair<int, std::string>> held;
    collector_.SetEcho(false);
    collector_.SetObserver([&held](int level, const char* text) { held.emplace_back(level, text); });
    struct Release {
      FailureCollector& collector;
      ~Release() { collector.SetObserver(nullptr); }
    } release{collector_};

    collector_.Begin();
    if (board_.Load(options_.port, options_.timeoutMs, options_.line) != 0) {
      collector_.End(2);
      const std::string& why = collector_.LastMessage();
      std::fprintf(stderr, "kelhost: board %d could not be loaded on %s%s\n", static_cast<int>(options_.board),
                   options_.port.c_str(), why.empty() ? "" : (" (" + why + ")").c_str());
      return false;
    }
    tags->resize(operations.size());
    for (size_t k = 0; k < operations.size(); ++k) {
      const Operation& operation = operations[k];
      if (operation.kind == Operation::Kind::kInfo) continue;
      collector_.Begin();
      if (board_.Parse(operation.gas, operation.count, operation.block, &(*tags)[k]) != 0) {
        collector_.End(1);
        board_.Close();
        const std::string& why = collector_.LastMessage();
        throw UsageError(operation.text + ": the driver refuses this address on board " +
                         std::to_string(board_.Number()) + (why.empty() ? "" : " (" + why + ")"));
      }
    }
    if (!options_.quiet) {
      for (const auto& [level, text] : held) std::fprintf(stderr, "[%d] %s\n", level, text.c_str());
    }
    collector_.SetEcho(!options_.quiet);
    return true;
  }

  int Operations() {
    std::vector<Operation> operations;
    for (const std::string& operand : options_.operands) operations.push_back(ParseOperation(operand));
    std::vector<Tag> tags;
    if (!Prepare(operations, &tags)) return 2;

    bool allGood = true;
    for (int round = 1; round <= options_.repeat; ++round) {
      const Clock::time_point start = Clock::now();
      for (size_t k = 0; k < operations.size(); ++k) allGood = RunOperation(operations[k], tags[k]) && allGood;
      if (options_.repeatGiven) std::printf("round %d: %.1f ms\n", round, MillisecondsSince(start));
    }
    board_.Close();
    return allGood ? 0 : 1;
  }

  bool RunOperation(const Operation& operation, const Tag& tag) {
    if (operation.kind == Operation::Kind::kInfo) {
      PrintInfo(module_.Info());
      return true;
    }
    const bool writing = operation.kind == Operation::Kind::kWrite;
    std::vector<uint16_t> values;
    collector_.Begin();
    const int32_t result = writing ? board_.Write(tag, operation.words) : board_.Read(tag, &values);
    const FailureKind kind = collector_.End(result);
    if (result != 0) {
      std::printf("%s: %s failed, result %d (%s)\n", operation.text.c_str(), writing ? "write" : "read", result,
                  FailureKindName(kind));
      return false;
    }
    if (writing) {
      std::printf("%s: written\n", operation.text.c_str());
    } else {
      std::printf("%s =%s\n", operation.text.c_str(), FormatValues(tag, values, options_.hex).c_str());
    }
    return true;
  }

  // Loads the board without a port: the driver reads the network file as at
  // every load, and its context then holds the station table it took.
  int Check() {
    char fileName[32];
    std::snprintf(fileName, sizeof fileName, "kelG1%.2d.int", static_cast<int>(options_.board));
    if (module_.ContextSize() < sizeof(DriverContext)) {
      std::fprintf(stderr, "kelhost: the driver's context (%zu bytes) is not the one kelhost knows\n",
                   module_.ContextSize());
      return 2;
    }
    std::vector<std::string> messages;
    collector_.SetEcho(false);
    collector_.SetObserver([&messages](int level, const char* text) {
      messages.push_back("[" + std::to_string(level) + "] " + text);
    });
    const int32_t result = board_.Load("", options_.timeoutMs, options_.line);
    collector_.SetObserver(nullptr);
    const DriverContext* context = board_.Context();
    const bool present = std::filesystem::exists(fileName);
    const std::string shown = options_.dir.empty() ? fileName : (std::filesystem::path(options_.dir) / fileName).string();

    std::printf("board %d: network file %s%s\n", static_cast<int>(options_.board), shown.c_str(),
                present ? "" : " (not found)");
    std::printf("WAIT  attach-response wait %d ms\n", context->attachWait * 10);
    std::printf("RTS   %s\n", context->rtsControl != 0 ? "held on" : "off");
    int stations = 0;
    int unusable = 0;
    for (int station = 1; station < kStationSlots; ++station) {
      const char* id = context->snpIds[station];
      const bool listed = id[0] != '\0' || context->snpxStation[station] != 0;
      if (!listed) continue;
      if (stations == 0) std::printf("NN  SNP ID    protocol\n");
      ++stations;
      std::printf("%02d  %-8.8s  %s%s\n", station, id, context->snpxStation[station] ? "SNPX" : "SNP",
                  id[0] == '\0' ? "  no SNP ID: the driver treats the station as not configured" : "");
      if (id[0] == '\0') ++unusable;
    }
    if (stations == 0) std::printf("no stations: peer-to-peer mode, one PLC as station 00\n");
    std::printf("driver messages:\n");
    for (const std::string& message : messages) std::printf("  %s\n", message.c_str());
    if (result != 0) {
      std::printf("rejected: the driver refuses to load board %d with this file\n", static_cast<int>(options_.board));
      return 1;
    }
    if (stations == 0) {
      std::printf("accepted: peer-to-peer mode\n");
      return 0;
    }
    std::printf("accepted: %d station%s%s\n", stations - unusable, stations - unusable == 1 ? "" : "s",
                unusable ? " usable" : "");
    return 0;
  }

  int Scan() {
    int first = 0;
    int last = 64;
    if (!options_.operands.empty()) ParseStationRange(options_.operands[0], &first, &last);
    std::vector<Tag> none;
    if (!Prepare({}, &none)) return 2;
    const DriverContext* context = board_.Context();
    std::vector<int> stations;
    for (int station = first; station <= last; ++station) {
      if (context->snpIds[station][0] != '\0') stations.push_back(station);
    }
    bool peerToPeer = true;
    for (int station = 1; station < kStationSlots; ++station) peerToPeer = peerToPeer && context->snpIds[station][0] == '\0';
    if (peerToPeer && first == 0) stations.push_back(0);
    if (stations.empty()) {
      std::fprintf(stderr, "kelhost: scan: no station of the network file lies in %d-%d\n", first, last);
      board_.Close();
      return 2;
    }

    std::printf("NN  SNP ID    protocol  answered  round trip  failure\n");
    int answered = 0;
    for (int station : stations) {
      char gas[16];
      std::snprintf(gas, sizeof gas, "%02dR00001", station);
      Tag tag;
      collector_.Begin();
      int32_t result = board_.Parse(gas, 1, false, &tag);
      std::vector<uint16_t> values;
      const Clock::time_point start = Clock::now();
      if (result == 0) result = board_.Read(tag, &values);
      const double elapsed = MillisecondsSince(start);
      const FailureKind kind = collector_.End(result);
      const bool heard = result == 0 || (kind != FailureKind::kNoResponse && kind != FailureKind::kNotAttached &&
                                         kind != FailureKind::kRefused);
      if (heard) ++answered;
      std::string failure;
      if (result != 0) {
        failure = FailureKindName(kind);
        if (!collector_.CauseMessage().empty()) failure += ": " + collector_.CauseMessage();
      }
      char row[96];
      std::snprintf(row, sizeof row, "%02d  %-8.8s  %-8s  %-8s  %7.1f ms", station, context->snpIds[station],
                    context->snpxStation[station] ? "SNPX" : "SNP", heard ? "yes" : "no", elapsed);
      std::printf("%s%s%s\n", row, failure.empty() ? "" : "  ", failure.c_str());
      std::fflush(stdout);
    }
    std::printf("%d of %zu station%s answered\n", answered, stations.size(), stations.size() == 1 ? "" : "s");
    board_.Close();
    return answered == static_cast<int>(stations.size()) ? 0 : 1;
  }

  int Poll() {
    std::vector<Operation> operations;
    for (const std::string& operand : options_.operands) operations.push_back(ParseOperation(operand));
    std::vector<Tag> tags;
    if (!Prepare(operations, &tags)) return 2;
    const int status = RunPoll(options_, board_, collector_, operations, tags);
    board_.Close();
    return status;
  }

  const Options& options_;
  const DriverModule& module_;
  Board board_;
  FailureCollector collector_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseCommandLine(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "kelhost: %s\n", error.what());
    return 2;
  }
  if (options.help || options.command == Command::kHelp) {
    Command about = options.command;
    if (options.command == Command::kHelp && !options.help) {
      about = Command::kRun;
      if (!options.operands.empty()) CommandFromName(options.operands[0], &about);
    }
    std::fputs(HelpText(about), stdout);
    return 0;
  }

  // The driver reads the network file from the current folder; a relative
  // driver path means the folder kelhost was started in.
  std::string driver = options.driver;
  std::error_code failed;
  if (!driver.empty()) driver = std::filesystem::absolute(driver, failed).string();
  if (!options.dir.empty()) {
    std::filesystem::current_path(options.dir, failed);
    if (failed) {
      std::fprintf(stderr, "kelhost: --dir %s: %s\n", options.dir.c_str(), failed.message().c_str());
      return 2;
    }
  }
  DriverModule module;
  if (!module.Load(driver)) {
    std::fprintf(stderr, "kelhost: %s\n", module.Error().c_str());
    return 2;
  }
  try {
    Host host(options, module);
    return host.Run();
  } catch (const UsageError& error) {
    std::fprintf(stderr, "kelhost: %s\n", error.what());
    return 2;
  }
}
