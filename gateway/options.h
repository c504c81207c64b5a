// kelgate's command line.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/mapping.h"
#include "gateway/scan_config.h"
#include "host/driver_module.h"

namespace kelgate {

// The standard Modbus TCP port 502 needs root; 1502 is the usual stand-in.
constexpr uint16_t kDefaultListenPort = 1502;

struct Options {
  std::string port;
  std::string driver;
  int32_t board = 1;
  LineOptions line;
  int32_t timeoutMs = 1000;
  std::string listenAddress = "127.0.0.1";
  uint16_t listenPort = kDefaultListenPort;
  WritePolicy writePolicy;
  std::string mapFile;
  int maxClients = 8;
  int idleTimeoutS = 60;
  int deadlineMs = 5000;
  std::string configFile;  // --config: read before the other options
  ScanConfig scan;
  bool verbose = false;
  bool help = false;
};

extern const char kUsage[];

// Applies the command line over *options (a --scan or --allow-write list
// given replaces the one options held). False, with the reason in *error,
// for an unknown option, a bad value, or options that disagree.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// One option ("--baud") from its text; false with the fault, without the
// option's name, in *error. Shared by the command line and the file.
bool SetOption(const std::string& name, const std::string& value, Options* options, std::string* error);

// What only the whole can tell: a port is named, the hold's bounds agree.
bool CheckOptions(const Options& options, std::string* error);

// "ADDR:PORT" (IPv4 address, port 0..65535; port 0 takes a free one).
bool ParseListen(const std::string& text, std::string* address, uint16_t* port);

}  // namespace kelgate
