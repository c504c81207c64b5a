// kelgate's HTTP door on a loopback port of its own (Debian's libmicrohttpd):
// the status page at /, the Prometheus metrics at /metrics and the stations
// as JSON at /api/stations. It only reads a report; it never touches the line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "gateway/config.h"
#include "gateway/status.h"

struct MHD_Daemon;

namespace kelgate {

struct HttpReply {
  unsigned status = 200;
  const char* contentType = "text/plain; charset=utf-8";
  std::string body;
};

// The answer to one request: GET or HEAD of /, /metrics or /api/stations;
// 404 for any other path, 405 for any other method. `report` is called
// only for the paths that need it.
HttpReply Respond(const std::string& method, const std::string& path, const std::function<StatusReport()>& report);

// Where the HTTP door listens; off (empty address) unless configured.
struct HttpConfig {
  std::string address;
  uint16_t port = 0;
  bool Enabled() const { return !address.empty(); }
};

// The file's [http] section (one key: listen = "ADDR:PORT"), then the
// command line's --http over it. False with the one line that says why
// ("FILE:LINE: fault").
bool ReadHttpConfig(const ConfigFile& file, const std::string& option, HttpConfig* config, std::string* error);

class HttpServer {
 public:
  explicit HttpServer(std::function<StatusReport()> report);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on ADDRESS:PORT (port 0 takes a free one) and serves on a
  // thread of its own. False with the reason in *error.
  bool Start(const std::string& address, uint16_t port, std::string* error);
  // The port listened on (the free one that port 0 took).
  uint16_t Port() const { return port_; }
  void Stop();

 private:
  std::function<StatusReport()> report_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace kelgate
