#include "gateway/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "gateway/status_page.h"

namespace kelgate {
namespace {

// A status page polled by a few browsers and a Prometheus server needs few
// connections; a client that stalls is dropped after the timeout.
constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeoutS = 10;

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**) {
  const auto& report = *static_cast<const std::function<StatusReport()>*>(cls);
  const HttpReply reply = Respond(method, url, report);
  MHD_Response* response =
      MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (reply.status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

HttpReply Respond(const std::string& method, const std::string& path, const std::function<StatusReport()>& report) {
  HttpReply reply;
  const bool known = path == "/" || path == "/metrics" || path == "/api/stations";
  if (!known) {
    reply.status = MHD_HTTP_NOT_FOUND;
    reply.body = "not found: " + path + "\n";
  } else if (method != "GET" && method != "HEAD") {
    reply.status = MHD_HTTP_METHOD_NOT_ALLOWED;
    reply.body = method + " not allowed: the status page and metrics are read-only\n";
  } else if (path == "/") {
    reply.contentType = "text/html; charset=utf-8";
    reply.body = kStatusPage;
  } else if (path == "/metrics") {
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    reply.body = PrometheusText(report());
  } else {
    reply.contentType = "application/json";
    reply.body = StationsJson(report());
  }
  return reply;
}

bool ReadHttpConfig(const ConfigFile& file, const std::string& option, HttpConfig* config, std::string* error) {
  std::string listen = option;
  if (const toml::table* section = file.Section("http"); section != nullptr) {
    for (const auto& [key, value] : *section) {
      if (key.str() != "listen") {
        *error = file.Fault(value, "unknown key \"" + std::string(key.str()) + "\" in [http]");
        return false;
      }
      const auto* text = value.as_string();
      std::string address;
      uint16_t port = 0;
      if (text == nullptr || !ParseListen(text->get(), &address, &port)) {
        *error = file.Fault(value, "listen: expects \"ADDR:PORT\" such as \"127.0.0.1:8080\"");
        return false;
      }
      if (option.empty()) listen = text->get();
    }
  } else if (const toml::node* node = file.table.get("http"); node != nullptr) {
    *error = file.Fault(*node, "[http] must be a table");
    return false;
  }
  *config = HttpConfig{};
  return listen.empty() || ParseListen(listen, &config->address, &config->port);
}

HttpServer::HttpServer(std::function<StatusReport()> report) : report_(std::move(report)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const std::string& address, uint16_t port, std::string* error) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    *error = "bad address " + address;
    return false;
  }
  errno = 0;
  daemon_ = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, port, nullptr, nullptr, &Answer, &report_,
                             MHD_OPTION_SOCK_ADDR, &where, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                             MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = errno != 0 ? std::strerror(errno) : "the HTTP server did not start";
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : port;
  return true;
}

void HttpServer::Stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace kelgate
