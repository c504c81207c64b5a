// kelhost: a command-line host. Loads the driver module as a SCADA runtime
// does, loads one board and reads and writes tags given on the command line.
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "driver/host_interface.h"
#include "host/kalvro.h"

namespace {

using KelMainFunction = int32_t (*)(KelRequest*);
constexpr int kContextSize = 1300;

const char kUsage[] =
    "usage: kelhost [options] OPERATION...\n"
    "\n"
    "Loads the driver, loads one board and runs each operation in turn:\n"
    "  info             print the driver's description and banner\n"
    "  GAS              read one value, e.g. 01R00001, 01R000105 (bit 5), 01M00017\n"
    "  GAS*N            read a block of N elements, e.g. 01R00001*10\n"
    "  GAS=V            write one value; 32-bit for area F, 0/1 for bits\n"
    "  GAS=V1,V2,...    write a block, one value per element\n"
    "Values are decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "options:\n"
    "  --port NAME      serial port: COM1, ttyUSB0, pts/7, /dev/ttyS0 (default: no port)\n"
    "  --board N        board number; its network file is kelG1NN.int in the current folder (default 1)\n"
    "  --baud N         baud rate (default 19200)\n"
    "  --parity P       none, odd, even, mark or space (default odd)\n"
    "  --timeout MS     normal read timeout in milliseconds (default 1000)\n"
    "  --driver PATH    the driver module (default: beside this program)\n"
    "  --repeat N       run the operations N times and print the time per round\n"
    "  --quiet          do not print the driver's messages\n"
    "  --help           this text\n"
    "Exit status: 0 when every operation succeeded, 1 when one failed, 2 on a usage or load error.\n";

struct Options {
  std::string port;
  std::string driver;
  int32_t board = 1;
  uint16_t baud = 19200;
  uint16_t parity = 1;
  int32_t timeoutMs = 1000;
  int repeat = 1;
  bool quiet = false;
  std::vector<std::string> operations;
};

std::string SelfFolder() {
  char path[4096] = {};
#if defined(_WIN32)
  GetModuleFileNameA(nullptr, path, sizeof path - 1);
  std::string self(path);
  return self.substr(0, self.find_last_of("\\/") + 1);
#else
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
  return self.substr(0, self.rfind('/') + 1);
#endif
}

KelMainFunction LoadDriverModule(const std::string& path) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) return nullptr;
  return reinterpret_cast<KelMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "KelMain")));
#else
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "kelhost: %s\n", dlerror());
    return nullptr;
  }
  return reinterpret_cast<KelMainFunction>(dlsym(module, "KelMain"));
#endif
}

bool ParseNumber(const std::string& text, long long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&](long long* number) {
      if (i + 1 >= argc) return false;
      return number ? ParseNumber(argv[++i], number) : (++i, true);
    };
    long long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--port") {
      if (!next(nullptr)) return false;
      options->port = argv[i];
    } else if (arg == "--driver") {
      if (!next(nullptr)) return false;
      options->driver = argv[i];
    } else if (arg == "--board") {
      if (!next(&number)) return false;
      options->board = static_cast<int32_t>(number);
    } else if (arg == "--baud") {
      if (!next(&number) || number < 1 || number > 65535) return false;
      options->baud = static_cast<uint16_t>(number);
    } else if (arg == "--timeout") {
      if (!next(&number) || number < 10 || number > 600000) return false;
      options->timeoutMs = static_cast<int32_t>(number);
    } else if (arg == "--repeat") {
      if (!next(&number) || number < 1 || number > 1000000) return false;
      options->repeat = static_cast<int>(number);
    } else if (arg == "--parity") {
      if (!next(nullptr)) return false;
      const char* names[] = {"none", "odd", "even", "mark", "space"};
      bool found = false;
      for (uint16_t p = 0; p < 5; ++p) {
        if (arg = argv[i], arg == names[p]) {
          options->parity = p;
          found = true;
        }
      }
      if (!found) return false;
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      options->operations.push_back(arg);
    }
  }
  return !options->operations.empty();
}

void QuietSink(void*, int, const char*) {}

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

class Board {
 public:
  Board(KelMainFunction kelMain, int32_t board) : kelMain_(kelMain), board_(board), context_(kContextSize, 0) {}

  int32_t Call(uint32_t code, void* params) {
    KelRequest request{reinterpret_cast<DriverContext*>(context_.data()), code, board_, 0, params};
    return kelMain_(&request);
  }

 private:
  KelMainFunction kelMain_;
  int32_t board_;
  std::vector<unsigned char> context_;
};

int32_t DataTypeFor(const std::string& gas) {
  const char area = gas.size() > 2 ? static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2]))) : ' ';
  if (area == 'F') return 3;
  if (area == 'R' || area == 'L' || area == 'O') return gas.size() > 8 && gas[8] != ' ' ? 6 : 0;
  return 6;
}

// Runs one operation; prints its outcome. False when it failed.
bool RunOperation(Board& board, const std::string& operation) {
  if (operation == "info") {
    DriverInfo info{};
    if (board.Call(kRequestGetDriverInfo, &info) != 0) return false;
    std::printf("%s, version %d.%02d, context %d bytes, default line %u baud %u data bits parity %u stop %u\n",
                info.name, info.version / 100, info.version % 100, info.contextSize, info.defaultLine.baudRate,
                info.defaultLine.dataBits, info.defaultLine.parity, info.defaultLine.stopBits);
    PrintCp437(info.banner);
    return true;
  }
  const size_t equals = operation.find('=');
  const size_t star = operation.find('*');
  std::string gas = operation.substr(0, std::min(equals, star));
  std::vector<long long> values;
  long long count = 1;
  if (equals != std::string::npos && star != std::string::npos) {
    std::fprintf(stderr, "kelhost: %s: a write takes its count from its values (GAS=V1,V2,...)\n", operation.c_str());
    return false;
  }
  if (equals != std::string::npos) {
    std::string list = operation.substr(equals + 1);
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      long long value = 0;
      if (!ParseNumber(list.substr(start, comma - start), &value)) {
        std::fprintf(stderr, "kelhost: bad value in %s\n", operation.c_str());
        return false;
      }
      values.push_back(value);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    count = static_cast<long long>(values.size());
  } else if (star != std::string::npos && (!ParseNumber(operation.substr(star + 1), &count) || count < 1)) {
    std::fprintf(stderr, "kelhost: bad count in %s\n", operation.c_str());
    return false;
  }
  const bool block = count > 1 || star != std::string::npos;

  ParseRecord parse{};
  parse.gas = gas.c_str();
  parse.dataType = block ? (DataTypeFor(gas) == 3 ? 3 : 0) : DataTypeFor(gas);
  parse.count = static_cast<int32_t>(count);
  if (board.Call(block ? kRequestParseBlockAddress : kRequestParseAddress, &parse) != 0) {
    std::printf("%s: invalid address\n", gas.c_str());
    return false;
  }
  const bool wide = parse.width == 32;
  // Singles keep their value in the second word (the first two for area F).
  std::vector<uint16_t> buffer(static_cast<size_t>(count) * (wide ? 2 : 1) + 2, 0);
  TagRecord tag{parse.gas, 0, parse.station, parse.area, parse.element, parse.bit, parse.width, 0,
                static_cast<int32_t>(count), 0, buffer.data()};
  uint16_t* first = block || wide ? buffer.data() : buffer.data() + 1;
  for (size_t k = 0; k < values.size(); ++k) {
    if (wide) {
      first[2 * k] = static_cast<uint16_t>(values[k] & 0xFFFF);
      first[2 * k + 1] = static_cast<uint16_t>((values[k] >> 16) & 0xFFFF);
    } else {
      first[k] = static_cast<uint16_t>(values[k]);
    }
  }
  const bool writing = !values.empty();
  const uint32_t code = writing ? (block ? kRequestWriteBlock : kRequestWriteSingle)
                                : (block ? kRequestReadBlock : kRequestReadSingle);
  const int32_t result = board.Call(code, &tag);
  if (result != 0) {
    std::printf("%s: %s failed, result %d\n", operation.c_str(), writing ? "write" : "read", result);
    return false;
  }
  if (writing) {
    std::printf("%s: written\n", operation.c_str());
    return true;
  }
  std::printf("%s =", operation.c_str());
  for (long long k = 0; k < count; ++k) {
    if (wide) {
      const uint32_t value = static_cast<uint32_t>(first[2 * k]) | (static_cast<uint32_t>(first[2 * k + 1]) << 16);
      std::printf(" %" PRIu32, value);
    } else {
      std::printf(" %u", first[k]);
    }
  }
  std::printf("\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (options.quiet) KalSetErrSink(&QuietSink, nullptr);
#if defined(_WIN32)
  const char* moduleName = "DEREVU1.DLL";
#else
  const char* moduleName = "libderevu1.so";
#endif
  const std::string path = options.driver.empty() ? SelfFolder() + moduleName : options.driver;
  KelMainFunction kelMain = LoadDriverModule(path);
  if (kelMain == nullptr) {
    std::fprintf(stderr, "kelhost: cannot load the driver %s\n", path.c_str());
    return 2;
  }

  Board board(kelMain, options.board);
  LoadParams load{};
  std::snprintf(load.portName, sizeof load.portName, "%s", options.port.c_str());
  load.portInUse = options.port.empty() ? 0 : 1;
  load.readTimeout = options.timeoutMs / 10;
  load.line = LineSettings{options.baud, 8, 0, options.parity};
  if (board.Call(kRequestLoadDriver, &load) != 0) {
    std::fprintf(stderr, "kelhost: the board could not be loaded on %s\n", options.port.c_str());
    return 2;
  }

  bool allGood = true;
  for (int round = 0; round < options.repeat; ++round) {
    for (const std::string& operation : options.operations) allGood = RunOperation(board, operation) && allGood;
  }
  board.Call(kRequestClosePort, nullptr);
  return allGood ? 0 : 1;
}
