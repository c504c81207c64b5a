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

// False, with the reason in *error, for an unknown option or a bad value.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// "ADDR:PORT" (IPv4 address, port 0..65535; port 0 takes a free one).
bool ParseListen(const std::string& text, std::string* address, uint16_t* port);

}  // namespace kelgate
