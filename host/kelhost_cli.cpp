#include "host/kelhost_cli.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "address/gas.h"

namespace {

const char kGeneralHelp[] =
    "usage: kelhost [options] [COMMAND] OPERAND...\n"
    "\n"
    "Loads the driver module as a SCADA host does, loads one board and runs a command:\n"
    "  read GAS...            read values (GAS, GAS*N) or print the driver's description (info)\n"
    "  write GAS=V...         write values\n"
    "  check                  show the board's network file as the driver reads it (no port needed)\n"
    "  scan [FIRST-LAST]      ask every station of the network file for one register\n"
    "  poll TAGS...           read tags every interval and show values, age and counters\n"
    "  help COMMAND           the help of a command, with examples\n"
    "Without a command word the operands are read and written in turn:\n"
    "  info             print the driver's description and banner\n"
    "  GAS              read one value, e.g. 01R00001, 01R000105 (bit 5), 01M00017\n"
    "  GAS*N            read a block of N elements, e.g. 01R00001*10\n"
    "  GAS=V            write one value; 32-bit for area F, 0/1 for bits\n"
    "  GAS=V1,V2,...    write a block, one value per element\n"
    "Values are decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "options:\n"
    "  --port NAME      serial port: COM1, ttyUSB0, pts/7, /dev/ttyS0 (default: no port)\n"
    "  --board N        board number; its network file is kelG1NN.int (default 1)\n"
    "  --dir DIR        the folder of the network file (default: the current folder)\n"
    "  --baud N         baud rate (default 19200)\n"
    "  --data-bits N    5 to 8 (default 8)\n"
    "  --stop-bits N    1, 1.5 or 2 (default 1)\n"
    "  --parity P       none, odd, even, mark or space (default odd)\n"
    "  --timeout MS     normal read timeout in milliseconds (default 1000)\n"
    "  --driver PATH    the driver module (default: beside this program, else the\n"
    "                   installed one)\n"
    "  --repeat N       run the operations N times and print the time per round\n"
    "  --hex            print values in hexadecimal\n"
    "  --quiet          do not print the driver's messages\n"
    "  --help           this text; COMMAND --help the command's\n"
    "Exit status: 0 when every operation succeeded, 1 when one failed, 2 on a usage or load error.\n";

const char kReadHelp[] =
    "usage: kelhost [options] read GAS|GAS*N|info...\n"
    "\n"
    "Reads each operand once (or --repeat N times, with the time per round).\n"
    "A GAS is NNAEEEEE[B]: station 00-64, area R L O F I Q T M G A B C D,\n"
    "element number 00001-99999, and for R, L, O an optional bit 0-F.\n"
    "\n"
    "examples:\n"
    "  kelhost --port pts/7 read 01R00001*10\n"
    "  kelhost --port COM1 --hex read 03R00001 03F00001 01M00017*16\n"
    "  kelhost --port pts/7 --repeat 100 --quiet read 01R00001*64\n";

const char kWriteHelp[] =
    "usage: kelhost [options] write GAS=V|GAS=V1,V2,...\n"
    "\n"
    "Writes each operand once. A value must fit its tag: -32768..65535 for a\n"
    "register word, 0 or 1 for a bit, -2147483648..4294967295 for area F.\n"
    "A value out of range stops the command before anything is sent.\n"
    "\n"
    "examples:\n"
    "  kelhost --port pts/7 write 01R00010=1234 01R000105=1\n"
    "  kelhost --port COM1 write 03F00001=100000 02R00001=0x10,0x20,0x30\n";

const char kCheckHelp[] =
    "usage: kelhost [--board N] [--dir DIR] check\n"
    "\n"
    "Loads the board without a port, so that the driver reads its network file\n"
    "kelG1NN.int as it does at every load, and prints the stations it took\n"
    "(number, SNP ID, SNP or SNPX), the WAIT and RTS settings and the driver's\n"
    "own messages. Exit status 1 when the driver rejects the file.\n"
    "\n"
    "examples:\n"
    "  kelhost check\n"
    "  kelhost --board 12 --dir /etc/scada check\n";

const char kScanHelp[] =
    "usage: kelhost --port NAME [options] scan [FIRST-LAST]\n"
    "\n"
    "Reads register 1 (%R1) of each station of the network file, or of those\n"
    "between FIRST and LAST, once, and prints one line per station: whether it\n"
    "answered, its protocol, the round-trip time and the failure, as the\n"
    "driver's messages tell it. A silent station costs the driver's own\n"
    "retries, nothing more. Exit status 1 when a station did not answer.\n"
    "\n"
    "examples:\n"
    "  kelhost --port pts/7 scan\n"
    "  kelhost --port COM2 --timeout 300 scan 1-8\n";

const char kPollHelp[] =
    "usage: kelhost --port NAME [options] poll [--interval MS] [--count N] TAGS...|--tags FILE\n"
    "\n"
    "Reads the tags (GAS or GAS*N) every interval (default 1000 ms). On a\n"
    "terminal it redraws a table in place: each tag's value, age and status,\n"
    "and per station the requests, successes and failures by kind (no\n"
    "response, checksum error, NAK, PLC error status, not attached, other),\n"
    "the last error with its time and the time per round. Otherwise it prints\n"
    "one line per tag and round. Ctrl-C (or --count rounds) stops it and\n"
    "prints the totals. A tags file holds one tag per line; '#' starts a comment.\n"
    "Exit status 1 when a read failed.\n"
    "\n"
    "examples:\n"
    "  kelhost --port pts/7 poll 01R00001 02R00001*4 03F00001\n"
    "  kelhost --port COM1 poll --interval 250 --tags tags.txt\n"
    "  kelhost --port pts/7 poll --count 3 01R00001 >log.txt\n";

const char kHelpHelp[] =
    "usage: kelhost help [COMMAND]\n"
    "\n"
    "Prints the help of a command: read, write, check, scan, poll.\n"
    "\n"
    "examples:\n"
    "  kelhost help scan\n"
    "  kelhost scan --help\n";

// Decimal, or hexadecimal after 0x; a leading zero does not make a number
// octal (010 is ten, as an operator typing it means).
bool ParseInteger(const std::string& text, long long* value) {
  size_t digits = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  int base = 10;
  if (text.size() > digits + 1 && text[digits] == '0' && (text[digits + 1] == 'x' || text[digits + 1] == 'X')) {
    base = 16;
    digits += 2;
  }
  if (digits >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[digits]))) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, base);
  return errno == 0 && *end == '\0';
}

long long NumberIn(const std::string& what, const std::string& text, long long low, long long high) {
  long long value = 0;
  if (!ParseInteger(text, &value) || value < low || value > high) {
    throw UsageError(what + " " + text + ": not a number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return value;
}

// What a tag's values must fit, from the form of its GAS.
struct ValueRange {
  long long low;
  long long high;
  const char* what;
};

ValueRange RangeFor(const std::string& gas, bool block) {
  const int32_t type = DataTypeFor(gas, block);
  if (type == kDataType32BitFirst) return {-2147483648LL, 4294967295LL, "a 32-bit value"};
  if (type == kDataTypeDigital) return {0, 1, "a bit"};
  return {-32768, 65535, "a register word"};
}

}  // namespace

const char* CommandName(Command command) {
  switch (command) {
    case Command::kRun: return "";
    case Command::kRead: return "read";
    case Command::kWrite: return "write";
    case Command::kCheck: return "check";
    case Command::kScan: return "scan";
    case Command::kPoll: return "poll";
    case Command::kHelp: return "help";
  }
  return "";
}

bool CommandFromName(const std::string& name, Command* command) {
  for (Command c : {Command::kRead, Command::kWrite, Command::kCheck, Command::kScan, Command::kPoll, Command::kHelp}) {
    if (name == CommandName(c)) {
      *command = c;
      return true;
    }
  }
  return false;
}

const char* HelpText(Command command) {
  switch (command) {
    case Command::kRun: return kGeneralHelp;
    case Command::kRead: return kReadHelp;
    case Command::kWrite: return kWriteHelp;
    case Command::kCheck: return kCheckHelp;
    case Command::kScan: return kScanHelp;
    case Command::kPoll: return kPollHelp;
    case Command::kHelp: return kHelpHelp;
  }
  return kGeneralHelp;
}

std::string GasFormError(const std::string& gas) {
  if (gas.size() != 8 && gas.size() != 9) return "a GAS has 8 or 9 characters (NNAEEEEE or NNAEEEEEB)";
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(gas[0]) || !digit(gas[1]) || (gas[0] - '0') * 10 + (gas[1] - '0') > 64) {
    return "station '" + gas.substr(0, 2) + "' is not 00 to 64";
  }
  const char area = static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2])));
  if (std::strchr("RLOFIQTMGABCD", area) == nullptr || area == '\0') {
    return "area '" + gas.substr(2, 1) + "' is not one of R L O F I Q T M G A B C D";
  }
  for (size_t k = 3; k < 8; ++k) {
    if (!digit(gas[k])) return "element '" + gas.substr(3, 5) + "' is not five digits";
  }
  if (gas.size() == 9 && !std::isxdigit(static_cast<unsigned char>(gas[8])) && gas[8] != ' ') {
    return "bit '" + gas.substr(8, 1) + "' is not a hexadecimal digit";
  }
  return "";
}

Operation ParseOperation(const std::string& text) {
  Operation operation;
  operation.text = text;
  if (text == "info") {
    operation.kind = Operation::Kind::kInfo;
    return operation;
  }
  const size_t equals = text.find('=');
  const size_t star = text.find('*');
  if (equals != std::string::npos && star != std::string::npos) {
    throw UsageError(text + ": a write takes its count from its values (GAS=V1,V2,...)");
  }
  operation.gas = text.substr(0, std::min(equals, star));
  const std::string form = GasFormError(operation.gas);
  if (!form.empty()) throw UsageError(text + ": " + form);

  if (star != std::string::npos) {
    operation.count = static_cast<int32_t>(NumberIn(text + ": count", text.substr(star + 1), 1, 65535));
    operation.block = true;
  }
  if (equals != std::string::npos) {
    operation.kind = Operation::Kind::kWrite;
    const std::string list = text.substr(equals + 1);
    std::vector<std::string> items;
    for (size_t start = 0;;) {
      const size_t comma = list.find(',', start);
      items.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    operation.count = static_cast<int32_t>(items.size());
    operation.block = items.size() > 1;
    const ValueRange range = RangeFor(operation.gas, operation.block);
    for (const std::string& item : items) {
      long long value = 0;
      if (!ParseInteger(item, &value)) throw UsageError(text + ": value '" + item + "' is not a number");
      if (value < range.low || value > range.high) {
        throw UsageError(text + ": value " + item + " is out of range for " + range.what + " (" +
                         std::to_string(range.low) + " to " + std::to_string(range.high) + ")");
      }
      const uint32_t bits = static_cast<uint32_t>(value);
      operation.words.push_back(static_cast<uint16_t>(bits & 0xFFFF));
      if (range.high > 65535) operation.words.push_back(static_cast<uint16_t>(bits >> 16));
    }
  }
  return operation;
}

std::vector<std::string> ReadTagsFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw UsageError("--tags " + path + ": cannot be read");
  std::vector<std::string> tags;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) continue;
    const std::string tag = line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
    if (tag.find_first_of(" \t=") != std::string::npos) {
      throw UsageError(path + ":" + std::to_string(number) + ": '" + tag + "' is not one tag (GAS or GAS*N)");
    }
    try {
      ParseOperation(tag);
    } catch (const UsageError& error) {
      throw UsageError(path + ":" + std::to_string(number) + ": " + error.what());
    }
    tags.push_back(tag);
  }
  if (tags.empty()) throw UsageError("--tags " + path + ": holds no tags");
  return tags;
}

void ParseStationRange(const std::string& text, int* first, int* last) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) {
    *first = *last = static_cast<int>(NumberIn("scan", text, 0, 64));
    return;
  }
  *first = static_cast<int>(NumberIn("scan", text.substr(0, dash), 0, 64));
  *last = static_cast<int>(NumberIn("scan", text.substr(dash + 1), 0, 64));
  if (*first > *last) throw UsageError("scan " + text + ": the first station comes after the last");
}

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  bool commandSeen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + ": needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--port") {
      options.port = value();
      if (options.port.empty() || options.port.size() > 11) {
        throw UsageError("--port " + options.port + ": a port name has 1 to 11 characters");
      }
    } else if (arg == "--driver") {
      options.driver = value();
    } else if (arg == "--dir") {
      options.dir = value();
    } else if (arg == "--tags") {
      options.tagsFile = value();
    } else if (arg == "--board") {
      options.board = static_cast<int32_t>(NumberIn(arg, value(), 0, 999999));
    } else if (arg == "--baud") {
      options.line.baudRate = static_cast<uint16_t>(NumberIn(arg, value(), 1, 65535));
    } else if (arg == "--data-bits") {
      options.line.dataBits = static_cast<uint16_t>(NumberIn(arg, value(), 5, 8));
    } else if (arg == "--stop-bits") {
      const std::string bits = value();
      if (bits == "1") {
        options.line.stopBits = 0;
      } else if (bits == "1.5") {
        options.line.stopBits = 1;
      } else if (bits == "2") {
        options.line.stopBits = 2;
      } else {
        throw UsageError("--stop-bits " + bits + ": not 1, 1.5 or 2");
      }
    } else if (arg == "--parity") {
      const std::string parity = value();
      const char* names[] = {"none", "odd", "even", "mark", "space"};
      bool found = false;
      for (uint16_t p = 0; p < 5; ++p) {
        if (parity == names[p]) {
          options.line.parity = p;
          found = true;
        }
      }
      if (!found) throw UsageError("--parity " + parity + ": not none, odd, even, mark or space");
    } else if (arg == "--timeout") {
      options.timeoutMs = static_cast<int32_t>(NumberIn(arg, value(), 10, 600000));
    } else if (arg == "--repeat") {
      options.repeat = static_cast<int>(NumberIn(arg, value(), 1, 1000000));
      options.repeatGiven = true;
    } else if (arg == "--interval") {
      options.intervalMs = static_cast<int>(NumberIn(arg, value(), 0, 3600000));
    } else if (arg == "--count") {
      options.count = static_cast<long>(NumberIn(arg, value(), 1, 100000000));
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--hex") {
      options.hex = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError(arg + ": unknown option (kelhost --help lists them)");
    } else if (!commandSeen && options.operands.empty() && CommandFromName(arg, &options.command)) {
      commandSeen = true;
    } else {
      options.operands.push_back(arg);
    }
  }
  if (options.help) return options;

  switch (options.command) {
    case Command::kHelp: {
      Command about = Command::kRun;
      for (const std::string& operand : options.operands) {
        if (options.operands.size() > 1 || !CommandFromName(operand, &about)) {
          throw UsageError("help " + operand + ": not a command (read, write, check, scan, poll)");
        }
      }
      return options;
    }
    case Command::kCheck:
      if (!options.operands.empty()) throw UsageError("check " + options.operands[0] + ": check takes no operands");
      return options;
    case Command::kScan: {
      if (options.operands.size() > 1) throw UsageError("scan " + options.operands[1] + ": one range at most");
      int first = 0;
      int last = 0;
      if (!options.operands.empty()) ParseStationRange(options.operands[0], &first, &last);
      if (options.port.empty()) throw UsageError("scan: needs --port");
      return options;
    }
    case Command::kPoll:
      if (!options.tagsFile.empty()) {
        if (!options.operands.empty()) throw UsageError("poll " + options.operands[0] + ": tags come from --tags or the command line, not both");
        options.operands = ReadTagsFile(options.tagsFile);
      }
      if (options.operands.empty()) throw UsageError("poll: needs tags (GAS, GAS*N or --tags FILE)");
      for (const std::string& operand : options.operands) {
        const Operation operation = ParseOperation(operand);
        if (operation.kind != Operation::Kind::kRead) throw UsageError("poll " + operand + ": poll only reads tags");
      }
      if (options.port.empty()) throw UsageError("poll: needs --port");
      return options;
    case Command::kRun:
    case Command::kRead:
    case Command::kWrite:
      if (options.operands.empty()) throw UsageError("nothing to do (kelhost --help shows the commands)");
      for (const std::string& operand : options.operands) {
        const Operation operation = ParseOperation(operand);
        if (options.command == Command::kRead && operation.kind == Operation::Kind::kWrite) {
          throw UsageError("read " + operand + ": a write (use write, or no command word)");
        }
        if (options.command == Command::kWrite && operation.kind != Operation::Kind::kWrite) {
          throw UsageError("write " + operand + ": not a write (GAS=V or GAS=V1,V2,...)");
        }
      }
      return options;
  }
  return options;
}
