#include "sim/cli.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace plcsim {
namespace {

long long ParseNumber(const std::string& text, long long min, long long max, const std::string& what) {
  std::string digits = text;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.erase(0, 1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.erase(0, 2);
  }
  long long value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw UsageError(what + ": \"" + text + "\" is not a number");
  }
  if (negative) value = -value;
  if (value < min || value > max) {
    throw UsageError(what + ": " + text + " is outside " + std::to_string(min) + ".." + std::to_string(max));
  }
  return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// "ST:rest" -> station and rest; without a numeric (or '*') prefix the
// station is kEveryStation.
int SplitStation(std::string& text, bool required, const std::string& what) {
  const std::size_t colon = text.find(':');
  const std::string prefix = colon == std::string::npos ? "" : text.substr(0, colon);
  const bool numeric = !prefix.empty() && prefix.find_first_not_of("0123456789") == std::string::npos;
  if (prefix == "*" || numeric) {
    text.erase(0, colon + 1);
    return prefix == "*" ? kEveryStation : static_cast<int>(ParseNumber(prefix, 0, 64, what + " station"));
  }
  if (required) throw UsageError(what + ": \"" + text + "\" must begin with a station number and ':'");
  return kEveryStation;
}

Reference ParseRef(const std::string& text, const std::string& what) {
  const auto reference = ParseReference(text);
  if (!reference) throw UsageError(what + ": \"" + text + "\" is not a PLC reference such as R1, AI3 or M17");
  return *reference;
}

Parity ParseParity(const std::string& text) {
  if (text == "none" || text == "N") return Parity::None;
  if (text == "odd" || text == "O") return Parity::Odd;
  if (text == "even" || text == "E") return Parity::Even;
  if (text == "mark" || text == "M") return Parity::Mark;
  if (text == "space" || text == "S") return Parity::Space;
  throw UsageError("--parity: \"" + text + "\" is not none, odd, even, mark or space");
}

unsigned ParseKinds(const std::string& text) {
  unsigned kinds = 0;
  for (const std::string& kind : Split(text, '+')) {
    if (kind == "read") {
      kinds |= kReadRequest;
    } else if (kind == "write") {
      kinds |= kWriteRequest;
    } else if (kind == "status") {
      kinds |= kShortStatusRequest;
    } else if (kind == "privilege") {
      kinds |= kChangePrivilegeRequest;
    } else if (kind == "data") {
      kinds |= kSnpxWriteData;
    } else {
      throw UsageError("--fault: \"" + kind + "\" is not read, write, status, privilege or data");
    }
  }
  return kinds;
}

std::vector<plcsim::PlcRef> Targets(Simulator& simulator, int station, const std::string& what) {
  std::vector<PlcRef> targets;
  if (station == kEveryStation) {
    for (int number : simulator.StationNumbers()) targets.push_back(simulator.Plc(number));
    return targets;
  }
  try {
    targets.push_back(simulator.Plc(station));
  } catch (const std::out_of_range&) {
    throw UsageError(what + ": there is no station " + std::to_string(station) + " on the line");
  }
  return targets;
}

}  // namespace

FaultOption ParseFault(const std::string& option) {
  const std::string what = "--fault " + option;
  std::string text = option;
  FaultOption fault;
  fault.text = option;
  fault.station = SplitStation(text, true, "--fault");
  int count = kAlways;
  if (const std::size_t at = text.find('@'); at != std::string::npos) {
    count = static_cast<int>(ParseNumber(text.substr(at + 1), 1, 1'000'000, what + ": count"));
    text.erase(at);
  }
  std::string kind = text;
  std::optional<std::string> value;
  if (const std::size_t eq = text.find('='); eq != std::string::npos) {
    kind = text.substr(0, eq);
    value = text.substr(eq + 1);
  }
  const auto needValue = [&]() -> const std::string& {
    if (!value) throw UsageError(what + ": " + kind + " needs a value");
    return *value;
  };
  const auto noValue = [&]() {
    if (value) throw UsageError(what + ": " + kind + " takes no value");
  };
  if (kind == "silent") {
    noValue();
    fault.apply = [count](Faults& f) { f.silent.For(count); };
  } else if (kind == "bad-bcc") {
    noValue();
    fault.apply = [count](Faults& f) { f.CorruptBcc(count); };
  } else if (kind == "nak") {
    const auto code = static_cast<uint8_t>(value ? ParseNumber(*value, 0, 255, what) : 0);
    fault.apply = [count, code](Faults& f) { f.NakRequests(count, code); };
  } else if (kind == "error" || kind == "status") {
    std::string codes = needValue();
    unsigned kinds = kAnyRequest;
    if (const std::size_t slash = codes.find('/'); slash != std::string::npos) {
      kinds = ParseKinds(codes.substr(slash + 1));
      codes.erase(slash);
    }
    if (kind == "error") {
      const std::vector<std::string> parts = Split(codes, ',');
      if (parts.size() != 2) throw UsageError(what + ": error needs MAJOR,MINOR");
      const auto major = static_cast<uint8_t>(ParseNumber(parts[0], 0, 255, what + ": major code"));
      const auto minor = static_cast<uint8_t>(ParseNumber(parts[1], 0, 255, what + ": minor code"));
      fault.apply = [=](Faults& f) { f.ErrorNack(major, minor, count, kinds); };
    } else {
      const auto status = static_cast<uint16_t>(ParseNumber(codes, 1, 0xFFFF, what + ": status"));
      fault.apply = [=](Faults& f) { f.ErrorStatus(status, count, kinds); };
    }
  } else if (kind == "truncate") {
    const auto keep = static_cast<std::size_t>(value ? ParseNumber(*value, 1, 4096, what) : 0);
    fault.apply = [=](Faults& f) { f.Truncate(count, keep); };
  } else if (kind == "no-t") {
    noValue();
    fault.apply = [=](Faults& f) { f.TextWithoutT(count); };
  } else if (kind == "endless") {
    noValue();
    fault.apply = [=](Faults& f) { f.EndlessText(count); };
  } else if (kind == "delay") {
    const auto ms = ParseNumber(needValue(), 0, 600'000, what);
    fault.apply = [=](Faults& f) { f.Delay(std::chrono::milliseconds(ms), count); };
  } else if (kind == "noise") {
    const auto bytes = static_cast<std::size_t>(value ? ParseNumber(*value, 1, 4096, what) : 8);
    fault.apply = [=](Faults& f) { f.Noise(bytes, count); };
  } else if (kind == "flip") {
    const auto bits = static_cast<int>(value ? ParseNumber(*value, 1, 64, what) : 1);
    fault.apply = [=](Faults& f) { f.FlipBits(bits, count); };
  } else if (kind == "drop") {
    noValue();
    fault.apply = [=](Faults& f) { f.DropByte(count); };
  } else if (kind == "insert") {
    noValue();
    fault.apply = [=](Faults& f) { f.InsertByte(count); };
  } else {
    throw UsageError(what + ": unknown fault \"" + kind + "\" (see --help)");
  }
  return fault;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  SimulatorOptions& sim = cl.simulator;
  EngineConfig& engine = sim.engine;
  for (std::size_t k = 0; k < args.size(); ++k) {
    std::string name = args[k];
    std::optional<std::string> inlineValue;
    if (name.rfind("--", 0) == 0) {
      if (const std::size_t eq = name.find('='); eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.erase(eq);
      }
    }
    const auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (k + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++k];
    };
    const auto flag = [&]() {
      if (inlineValue) throw UsageError(name + " takes no value");
    };
    const auto ms = [&](long long max) { return Millis(ParseNumber(value(), 0, max, name)); };

    if (name == "--help" || name == "-h") {
      flag();
      cl.help = true;
    } else if (name == "--network") {
      cl.networkFile = value();
    } else if (name == "--device") {
      sim.device = value();
    } else if (name == "--baud") {
      sim.line.baud = static_cast<uint32_t>(ParseNumber(value(), 50, 4'000'000, name));
    } else if (name == "--data-bits") {
      sim.line.dataBits = static_cast<int>(ParseNumber(value(), 5, 8, name));
    } else if (name == "--parity") {
      sim.line.parity = ParseParity(value());
    } else if (name == "--stop-bits") {
      sim.line.stopBits = static_cast<int>(ParseNumber(value(), 1, 2, name));
    } else if (name == "--pace") {
      flag();
      sim.pace = true;
    } else if (name == "--turnaround") {
      engine.turnaround = ms(10'000);
    } else if (name == "--reply-timeout") {
      engine.replyTimeout = ms(600'000);
    } else if (name == "--idle-timeout") {
      engine.idleTimeout = ms(3'600'000);
    } else if (name == "--text-size") {
      engine.textBufferData = static_cast<std::size_t>(ParseNumber(value(), 1, 1016, name));
    } else if (name == "--size") {
      const std::string text = value();
      const std::size_t eq = text.find('=');
      const auto area = AreaByName(text.substr(0, eq == std::string::npos ? text.size() : eq));
      if (eq == std::string::npos || !area) throw UsageError("--size: \"" + text + "\" is not AREA=N, e.g. R=2048");
      engine.sizes[static_cast<std::size_t>(*area)] =
          static_cast<uint32_t>(ParseNumber(text.substr(eq + 1), 1, 1 << 20, "--size " + text));
    } else if (name == "--zero") {
      flag();
      engine.pattern = false;
    } else if (name == "--set") {
      std::string text = value();
      Preset preset;
      preset.station = SplitStation(text, false, "--set");
      const std::size_t eq = text.find('=');
      if (eq == std::string::npos) throw UsageError("--set: \"" + text + "\" is not REF=VALUE[,VALUE...]");
      preset.reference = ParseRef(text.substr(0, eq), "--set");
      for (const std::string& v : Split(text.substr(eq + 1), ',')) {
        preset.values.push_back(static_cast<int>(ParseNumber(v, -32768, 65535, "--set " + text)));
      }
      cl.presets.push_back(preset);
    } else if (name == "--dump") {
      std::string text = value();
      DumpRequest dump;
      dump.station = SplitStation(text, false, "--dump");
      const std::size_t colon = text.find(':');
      dump.reference = ParseRef(text.substr(0, colon), "--dump");
      if (colon != std::string::npos) {
        dump.count = static_cast<std::size_t>(ParseNumber(text.substr(colon + 1), 1, 65536, "--dump count"));
      }
      cl.dumps.push_back(dump);
    } else if (name == "--clock") {
      for (const std::string& text : Split(value(), ',')) {
        const Reference word = ParseRef(text, "--clock");
        if (Info(word.area).discrete) throw UsageError("--clock: " + text + " is not a word of R, AI or AQ");
        engine.clockWords.push_back(word);
      }
    } else if (name == "--fault") {
      cl.faults.push_back(ParseFault(value()));
    } else if (name == "--trace") {
      flag();
      cl.trace = true;
    } else if (name == "--hex") {
      flag();
      cl.trace = true;
      sim.hexDump = true;
    } else {
      throw UsageError("unknown option \"" + args[k] + "\"");
    }
  }
  for (const Reference& word : engine.clockWords) {
    if (word.index >= engine.sizes[static_cast<std::size_t>(word.area)]) {
      throw UsageError("--clock: " + FormatReference(word) + " is outside its area");
    }
  }
  if (!cl.networkFile.empty()) sim.stations = ReadNetworkFile(cl.networkFile);
  return cl;
}

std::string UsageText() {
  return R"(Usage: plcsim [--network FILE] [--device PATH] [options]

Simulates GE Series 90 PLC stations that answer SNP and SNPX on one serial
line, as an RS-485 multi-drop network does. Without --device it creates a
pseudo-terminal pair and prints the path of its slave (e.g. /dev/pts/5) on
the first line of standard output; give the driver that port ("pts/5"). It
serves until SIGINT or SIGTERM; SIGUSR1 prints the --dump elements.

Line:
  --network FILE        stations from a network file in the driver's format
                        (kelG1NN.int): lines NNID or NNID* (NN = 01..64, '*' for
                        SNPX); a WAIT or RTS first line is ignored. Without it:
                        one point-to-point station 0 with an empty SNP ID (SNP).
  --device PATH         serve on this serial device instead of a pseudo-terminal
  --baud N              line speed (default 19200)
  --data-bits N         5 to 8 (default 8)
  --parity P            none, odd, even, mark or space (default odd)
  --stop-bits N         1 or 2 (default 1)
                        (a pseudo-terminal ignores parity and data bits)
  --pace                make the pseudo-terminal as slow as the line: every byte
                        takes its character time, the driver's bytes as well
  --turnaround MS       pause before every reply (default 5)
  --reply-timeout MS    how long a station waits for the driver's ACK or for an
                        announced text buffer or data frame (default 2000)
  --idle-timeout MS     an SNP attachment lapses after this long without
                        traffic; 0 = never (default 10000)
  --text-size N         data bytes per SNP text buffer of a read (default 256)

Memory (every station has its own):
  --size AREA=N         size of an area: R, AI, AQ in words (defaults 16384,
                        4096, 4096); I, Q, T, M, G, SA, SB, SC, S in bits
                        (defaults 2048, 2048, 1024, 8192, 7680, 128 each)
  --zero                start with zeros; otherwise %Rn = n, %AIn = 10000 + n,
                        %AQn = 20000 + n and a fixed byte pattern in the
                        discrete areas
  --set [ST:]REF=V[,V...]  preset elements from REF on (REF as R1, AI3, M17;
                        1-based; words for R, AI, AQ, bits otherwise); ST is a
                        station number, default every station
  --dump [ST:]REF[:N]   print N elements from REF when stopping
  --clock REF[,REF...]  words (R, AI, AQ) that every station sets, as it serves
                        a read, to the monotonic clock in milliseconds modulo
                        65536: a reader on this machine sees how old its data is

Faults: --fault ST:KIND[=VALUE][@COUNT]  (ST a station number or *; COUNT
limits the fault to the next COUNT replies or requests, default every time).
A reply is any frame but the two-byte ACK/NAK.
  silent                answer nothing, never be attached; with @COUNT, until
                        COUNT requests addressed to the station were ignored
                        (SNP attaches or SNPX requests with its SNP ID)
  bad-bcc               replies with a wrong BCC
  nak[=CODE]            answer SNP requests with NAK 15 CODE (default 00)
  error=MAJOR,MINOR[/KINDS]  SNP error nack D1 with these codes; SNPX error
                        status MAJOR | MINOR << 8. KINDS: read+write+status+
                        privilege+data (data: SNPX long write data frame);
                        default read+write+status+privilege
  status=WORD[/KINDS]   SNPX error status WORD (SNP: major = low byte)
  truncate[=N]          cut replies to N bytes (default half)
  no-t                  SNP text buffers without the 'T' at byte 1
  endless               SNP reads whose text buffers never end
  delay=MS              replies MS later than the turnaround
  noise[=N]             N random bytes (default 8) before replies
  flip[=N]              N random bits (default 1) of replies flipped
  drop                  one random byte of replies lost
  insert                one random byte added to replies

Output:
  --trace               one line per frame on standard error
  --hex                 --trace with a hex dump of every frame
  --help                this text

Exit status: 0 after SIGINT/SIGTERM, 1 when the network file or the device
cannot be used, 2 for a bad option.
)";
}

void ApplyPresets(Simulator& simulator, const std::vector<Preset>& presets) {
  for (const Preset& preset : presets) {
    for (PlcRef plc : Targets(simulator, preset.station, "--set")) {
      for (std::size_t k = 0; k < preset.values.size(); ++k) {
        const Reference r{preset.reference.area, preset.reference.index + k};
        try {
          plc.Set(FormatReference(r), preset.values[k]);
        } catch (const std::out_of_range&) {
          throw UsageError("--set: " + FormatReference(r) + " is outside the area of station " +
                           std::to_string(plc.Number()));
        }
      }
    }
  }
}

void ApplyFaults(Simulator& simulator, const std::vector<FaultOption>& faults) {
  for (const FaultOption& fault : faults) {
    for (PlcRef plc : Targets(simulator, fault.station, "--fault " + fault.text)) plc.ChangeFaults(fault.apply);
  }
}

std::string DumpText(Simulator& simulator, const std::vector<DumpRequest>& dumps) {
  std::string text;
  for (const DumpRequest& dump : dumps) {
    for (PlcRef plc : Targets(simulator, dump.station, "--dump")) {
      char station[8];
      std::snprintf(station, sizeof station, "%02d ", plc.Number());
      text += station + FormatReference(dump.reference) + " =";
      for (std::size_t k = 0; k < dump.count; ++k) {
        try {
          text += " " + std::to_string(plc.Get(FormatReference({dump.reference.area, dump.reference.index + k})));
        } catch (const std::out_of_range&) {
          text += " (end of area)";
          break;
        }
      }
      text += "\n";
    }
  }
  return text;
}

int RunProgram(int argc, char** argv) {
  CommandLine cl;
  try {
    cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "plcsim: %s\nTry 'plcsim --help'.\n", e.what());
    return 2;
  } catch (const NetworkFileError& e) {
    std::fprintf(stderr, "plcsim: %s\n", e.what());
    return 1;
  }
  if (cl.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }

  // The signals are taken by sigwait below; the serving thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (cl.trace) {
    cl.simulator.trace = [](std::string_view line) {
      std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    };
  }
  std::optional<Simulator> simulator;
  try {
    simulator.emplace(cl.simulator);
    ApplyPresets(*simulator, cl.presets);
    ApplyFaults(*simulator, cl.faults);
  } catch (const LineError& e) {
    std::fprintf(stderr, "plcsim: %s\n", e.what());
    return 1;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "plcsim: %s\n", e.what());
    return 2;
  }

  std::printf("%s\n", simulator->Path().c_str());
  std::fflush(stdout);
  std::string stations;
  for (const StationConfig& s : cl.simulator.stations) {
    stations += (stations.empty() ? "" : ", ") + std::to_string(s.number) + " \"" + s.snpId + "\" (" +
                (s.protocol == Protocol::Snpx ? "SNPX" : "SNP") + ")";
  }
  std::fprintf(stderr, "plcsim: serving station%s %s on %s; stop with Ctrl-C\n",
               cl.simulator.stations.size() == 1 ? "" : "s", stations.c_str(), simulator->Path().c_str());

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGUSR1) {
      std::fputs(DumpText(*simulator, cl.dumps).c_str(), stdout);
      std::fflush(stdout);
      continue;
    }
    break;
  }
  simulator->Stop();
  std::fputs(DumpText(*simulator, cl.dumps).c_str(), stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace plcsim
