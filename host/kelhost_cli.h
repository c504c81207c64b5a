// kelhost's command line: options, command words and operands, checked in
// full before the driver is loaded, so that a mistake costs nothing on the
// line. Every mistake is a UsageError with one line that says what and where.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/driver_module.h"

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class Command { kRun, kRead, kWrite, kCheck, kScan, kPoll, kHelp };

struct Options {
  Command command = Command::kRun;
  std::string port;
  std::string driver;
  std::string dir;
  std::string tagsFile;
  int32_t board = 1;
  LineOptions line;
  int32_t timeoutMs = 1000;
  int repeat = 1;
  bool repeatGiven = false;
  bool quiet = false;
  bool hex = false;
  bool help = false;
  int intervalMs = 1000;
  long count = 0;  // poll rounds; 0 until Ctrl-C
  std::vector<std::string> operands;
};

// An operand of read, write, poll or the bare form.
struct Operation {
  enum class Kind { kInfo, kRead, kWrite };
  Kind kind = Kind::kRead;
  std::string text;  // as given
  std::string gas;
  int32_t count = 1;
  bool block = false;
  std::vector<uint16_t> words;  // the values to write, as the host module takes them
};

// Throws UsageError.
Options ParseCommandLine(int argc, char** argv);
Operation ParseOperation(const std::string& text);
// Operands of a tags file: one per line; blank lines and '#' comments skipped.
std::vector<std::string> ReadTagsFile(const std::string& path);
// Stations FIRST-LAST or one station N, within 0..64.
void ParseStationRange(const std::string& text, int* first, int* last);

// Why a GAS is malformed, or "" when its form is right (the driver judges
// the rest: stations of the network file, element numbers, area F rules).
std::string GasFormError(const std::string& gas);

const char* CommandName(Command command);
// The help text of a command (kRun: the general one).
const char* HelpText(Command command);
bool CommandFromName(const std::string& name, Command* command);
