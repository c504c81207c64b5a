// The command line of the plcsim program.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace plcsim {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kEveryStation = -1;

// --set [ST:]REF=V[,V...]: consecutive elements from REF on.
struct Preset {
  int station = kEveryStation;
  Reference reference{};
  std::vector<int> values;
};

// --dump [ST:]REF[:COUNT]
struct DumpRequest {
  int station = kEveryStation;
  Reference reference{};
  std::size_t count = 1;
};

// --fault ST:KIND[=VALUE][@COUNT]
struct FaultOption {
  int station = kEveryStation;
  std::string text;
  std::function<void(Faults&)> apply;
};

struct CommandLine {
  SimulatorOptions simulator;  // everything but the trace sink
  std::string networkFile;
  bool trace = false;
  bool help = false;
  std::vector<Preset> presets;
  std::vector<DumpRequest> dumps;
  std::vector<FaultOption> faults;
};

// Throws UsageError with a message for the user. Reads the network file.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
FaultOption ParseFault(const std::string& text);
std::string UsageText();

// Applies the presets and faults to a running simulator; throws UsageError
// for a station that is not on the line or an element outside its area.
void ApplyPresets(Simulator& simulator, const std::vector<Preset>& presets);
void ApplyFaults(Simulator& simulator, const std::vector<FaultOption>& faults);
// One line per request: "01 %R1 = 1 2 3".
std::string DumpText(Simulator& simulator, const std::vector<DumpRequest>& dumps);

// The whole program; returns its exit status.
int RunProgram(int argc, char** argv);

}  // namespace plcsim
