#include "gateway/options.h"

#include <arpa/inet.h>

#include <charconv>

namespace kelgate {

const char kUsage[] =
    "usage: kelgate --port NAME [options]\n"
    "\n"
    "A Modbus TCP server in front of one driver board: the serial line NAME with the\n"
    "stations of the network file kelG1NN.int in the current folder. The unit\n"
    "identifier is the station number; address n is element n+1:\n"
    "  coils (1, 5, 15) = %Q, discrete inputs (2) = %I,\n"
    "  holding registers (3, 6, 16) = %R, input registers (4) = %AI.\n"
    "\n"
    "options:\n"
    "  --port NAME            serial port: COM1, ttyUSB0, pts/7, /dev/ttyS0\n"
    "  --board N              board number; its network file is kelG1NN.int (default 1)\n"
    "  --baud N               baud rate (default 19200)\n"
    "  --parity P             none, odd, even, mark or space (default odd)\n"
    "  --data-bits N          5 to 8 (default 8)\n"
    "  --stop-bits N          1, 1.5 or 2 (default 1)\n"
    "  --timeout MS           normal read timeout of the line in milliseconds (default 1000)\n"
    "  --driver PATH          the driver module (default: beside this program)\n"
    "  --listen ADDR:PORT     where to accept clients (default 127.0.0.1:1502; port 0 takes\n"
    "                         a free port, which the start line shows)\n"
    "  --allow-write LIST     areas and element ranges clients may write, e.g.\n"
    "                         R:1-100,Q:1-64,M (default: none, read-only)\n"
    "  --map FILE             address map replacing the default one; lines\n"
    "                         \"TABLE FIRST-LAST AREA ELEMENT\", TABLE one of coils, discrete,\n"
    "                         holding, input; AREA one of R AI AQ I Q T M G SA SB SC S\n"
    "  --max-clients N        clients connected at once (default 8)\n"
    "  --idle-timeout S       close a client silent for S seconds (default 60)\n"
    "  --deadline MS          longest wait of a request for the line (default 5000)\n"
    "  --config FILE          read the settings from a TOML file first; the options\n"
    "                         given here override it (a --scan or --allow-write here\n"
    "                         replaces the file's list)\n"
    "  --scan ST:AREA:FIRST-LAST[@MS]\n"
    "                         poll elements FIRST-LAST of AREA of station ST (a number,\n"
    "                         or * for every station) every MS milliseconds (default\n"
    "                         1000) into a cache that answers the reads within them at\n"
    "                         once; repeatable, e.g. --scan '*:R:1-10@500'\n"
    "  --max-age-ms N         cached data older than N ms is stale (default 30000)\n"
    "  --health-failures N    demote a station after N requests in a row without an\n"
    "                         answer; 0 never demotes (default 1)\n"
    "  --hold-s N             probe a demoted station after N seconds (default 10)\n"
    "  --hold-max-s N         the hold doubles after each unanswered probe up to N\n"
    "                         seconds (default 300)\n"
    "  --verbose              also log the driver's own messages\n"
    "  --help                 this text\n"
    "\n"
    "Exceptions: 0x01 function not served, 0x02 address outside the map or not\n"
    "writable, 0x03 bad quantity or value, 0x04 the PLC answered with an error or a\n"
    "NAK, 0x06 too many requests waiting, 0x0A unit is no station of the network\n"
    "file, 0x0B the station did not answer, could not be attached, or the request's\n"
    "deadline passed before the line was free, or the station is demoted, or its\n"
    "cached data is stale or bad.\n"
    "SIGUSR1 prints the per-station counters; SIGINT and SIGTERM stop the gateway.\n"
    "Exit status: 0 after a signal, 1 when the driver, the board or the listening\n"
    "socket cannot be set up, 2 for a bad option, configuration file or scan group.\n";

namespace {

bool ParseInt(const std::string& text, long long min, long long max, long long* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size() && *value >= min && *value <= max;
}

}  // namespace

bool ParseListen(const std::string& text, std::string* address, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = text.substr(0, colon);
  in_addr parsed{};
  long long number = 0;
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1 || !ParseInt(text.substr(colon + 1), 0, 65535, &number)) {
    return false;
  }
  *address = host;
  *port = static_cast<uint16_t>(number);
  return true;
}

bool SetOption(const std::string& arg, const std::string& value, Options* options, std::string* error) {
  long long number = 0;
  const auto bad = [&]() {
    *error = "bad value \"" + value + "\"";
    return false;
  };
  if (arg == "--port") {
    options->port = value;
  } else if (arg == "--driver") {
    options->driver = value;
  } else if (arg == "--board") {
    if (!ParseInt(value, 0, 999999, &number)) return bad();
    options->board = static_cast<int32_t>(number);
  } else if (arg == "--baud") {
    if (!ParseInt(value, 1, 65535, &number)) return bad();
    options->line.baudRate = static_cast<uint16_t>(number);
  } else if (arg == "--data-bits") {
    if (!ParseInt(value, 5, 8, &number)) return bad();
    options->line.dataBits = static_cast<uint16_t>(number);
  } else if (arg == "--stop-bits") {
    if (value == "1") {
      options->line.stopBits = 0;
    } else if (value == "1.5") {
      options->line.stopBits = 1;
    } else if (value == "2") {
      options->line.stopBits = 2;
    } else {
      return bad();
    }
  } else if (arg == "--parity") {
    const char* names[] = {"none", "odd", "even", "mark", "space"};
    bool found = false;
    for (uint16_t p = 0; p < 5; ++p) {
      if (value == names[p]) {
        options->line.parity = p;
        found = true;
      }
    }
    if (!found) return bad();
  } else if (arg == "--timeout") {
    if (!ParseInt(value, 10, 600000, &number)) return bad();
    options->timeoutMs = static_cast<int32_t>(number);
  } else if (arg == "--listen") {
    if (!ParseListen(value, &options->listenAddress, &options->listenPort)) return bad();
  } else if (arg == "--allow-write") {
    return options->writePolicy.Parse(value, error);
  } else if (arg == "--map") {
    options->mapFile = value;
  } else if (arg == "--max-clients") {
    if (!ParseInt(value, 1, 1000, &number)) return bad();
    options->maxClients = static_cast<int>(number);
  } else if (arg == "--idle-timeout") {
    if (!ParseInt(value, 1, 86400, &number)) return bad();
    options->idleTimeoutS = static_cast<int>(number);
  } else if (arg == "--deadline") {
    if (!ParseInt(value, 10, 600000, &number)) return bad();
    options->deadlineMs = static_cast<int>(number);
  } else if (arg == "--config") {
    options->configFile = value;
  } else if (arg == "--scan") {
    ScanGroup group;
    if (!ParseScanGroup(value, &group, error)) return false;
    options->scan.groups.push_back(group);
  } else if (arg == "--max-age-ms") {
    if (!ParseInt(value, 1, 86400000, &number)) return bad();
    options->scan.maxAgeMs = static_cast<uint32_t>(number);
  } else if (arg == "--health-failures") {
    if (!ParseInt(value, 0, 1000, &number)) return bad();
    options->scan.health.failures = static_cast<int>(number);
  } else if (arg == "--hold-s") {
    if (!ParseInt(value, 1, 86400, &number)) return bad();
    options->scan.health.holdS = static_cast<int>(number);
  } else if (arg == "--hold-max-s") {
    if (!ParseInt(value, 1, 86400, &number)) return bad();
    options->scan.health.holdMaxS = static_cast<int>(number);
  } else {
    *error = "unknown option";
    return false;
  }
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  // A list given on the command line replaces the one of the file.
  bool scanGiven = false;
  bool writeGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg == "--verbose") {
      options->verbose = true;
      continue;
    }
    static const char* const kValueOptions[] = {
        "--port",       "--driver",     "--board",          "--baud",         "--data-bits",     "--stop-bits",
        "--parity",     "--timeout",    "--listen",         "--map",          "--allow-write",   "--max-clients",
        "--idle-timeout", "--deadline", "--config",         "--scan",         "--max-age-ms",    "--health-failures",
        "--hold-s",     "--hold-max-s"};
    bool known = false;
    for (const char* name : kValueOptions) known = known || arg == name;
    if (!known) {
      *error = arg + ": unknown option";
      return false;
    }
    if (i + 1 >= argc) {
      *error = arg + " needs a value";
      return false;
    }
    if (arg == "--scan" && !scanGiven) {
      options->scan.groups.clear();
      scanGiven = true;
    }
    if (arg == "--allow-write" && !writeGiven) {
      options->writePolicy = WritePolicy{};
      writeGiven = true;
    }
    std::string why;
    if (!SetOption(arg, argv[++i], options, &why)) {
      *error = arg + ": " + why;
      return false;
    }
  }
  return CheckOptions(*options, error);
}

bool CheckOptions(const Options& options, std::string* error) {
  if (options.port.empty()) {
    *error = "--port names no serial port";
    return false;
  }
  if (options.scan.health.holdMaxS < options.scan.health.holdS) {
    *error = "--hold-max-s " + std::to_string(options.scan.health.holdMaxS) + " is shorter than --hold-s " +
             std::to_string(options.scan.health.holdS);
    return false;
  }
  return true;
}

}  // namespace kelgate
