// The [mqtt] section of kelgate's configuration file: where the broker is,
// how kelgate identifies itself there, and what it publishes.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/config.h"

namespace kelgate {

constexpr uint16_t kDefaultMqttPort = 1883;
constexpr int kDefaultKeepaliveS = 30;

struct MqttConfig {
  bool enabled = false;  // the file has an [mqtt] section
  std::string host;
  uint16_t port = kDefaultMqttPort;
  std::string clientId;      // default "kelgate-GROUP-NODE" (Sparkplug) or "kelgate-PREFIX-NODE" (JSON)
  std::string username;
  std::string password;      // read from password_file at start
  std::string passwordFile;
  std::string caFile;        // TLS on when given
  std::string certFile;      // client certificate, with keyFile
  std::string keyFile;
  int keepaliveS = kDefaultKeepaliveS;
  enum class Format { kSparkplug, kJson } format = Format::kSparkplug;
  std::string group = "kelgate";
  std::string node;          // default the host name
  std::string prefix = "kelgate";
};

// Reads [mqtt] from the file (nothing to do, and enabled false, without the
// section). False with one line "FILE:LINE: fault" in *error for an unknown
// key, a value of the wrong kind or out of range, an unreadable file, or an
// identifier a topic cannot carry. `hostName` is the default node.
bool LoadMqttConfig(const ConfigFile& file, const std::string& hostName, MqttConfig* config, std::string* error);

}  // namespace kelgate
