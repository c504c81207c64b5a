// kelgate: a Modbus TCP server in front of one driver board. The scan engine
// owns the board's serial line: it polls the scan groups into its cache,
// which answers the reads within them, and runs the clients' other requests
// on the line, one at a time.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/line.h"
#include "gateway/options.h"
#include "gateway/plan.h"
#include "gateway/report.h"
#include "gateway/scan_engine.h"

namespace {

using namespace kelgate;

std::mutex g_logMutex;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(g_logMutex);
  std::fprintf(stderr, "%s.%03ld kelgate: ", stamp, now.tv_nsec / 1000000);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// What happened to the requests of one unit identifier.
struct UnitCounters {
  uint64_t requests = 0;
  uint64_t answered = 0;
  std::map<uint8_t, uint64_t> exceptions;
  std::map<FailureKind, uint64_t> failures;
  // Failure log lines: at most one per interval, the others counted.
  Clock::time_point lastFailureLog{};
  uint64_t unlogged = 0;
};

constexpr auto kFailureLogInterval = std::chrono::seconds(10);

class Counters {
 public:
  void Count(uint8_t unit, const Outcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    UnitCounters& c = units_[unit];
    ++c.requests;
    if (outcome.exception == kNoException) {
      ++c.answered;
    } else {
      ++c.exceptions[outcome.exception];
    }
    if (outcome.failure != FailureKind::kNone) ++c.failures[outcome.failure];
  }

  // True when a failure of this unit may be logged now; *skipped tells how
  // many were not logged since the last line.
  bool MayLogFailure(uint8_t unit, uint64_t* skipped) {
    std::lock_guard<std::mutex> lock(mutex_);
    UnitCounters& c = units_[unit];
    const auto now = Clock::now();
    if (c.lastFailureLog != Clock::time_point{} && now - c.lastFailureLog < kFailureLogInterval) {
      ++c.unlogged;
      return false;
    }
    c.lastFailureLog = now;
    *skipped = c.unlogged;
    c.unlogged = 0;
    return true;
  }

  void Print(const std::set<int>& stations) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("counters (unit: requests, answered, exceptions, PLC failures):");
    for (const auto& [unit, c] : units_) {
      if (c.requests == 0) continue;
      std::string text;
      for (const auto& [code, n] : c.exceptions) text += Format(" 0x%02X x%llu", code, static_cast<unsigned long long>(n));
      std::string failures;
      for (const auto& [kind, n] : c.failures) {
        failures += Format(" %s x%llu", FailureKindName(kind), static_cast<unsigned long long>(n));
      }
      Log("  unit %u%s: %llu requests, %llu answered, exceptions:%s, failures:%s", unit,
          stations.count(unit) ? "" : " (no station)", static_cast<unsigned long long>(c.requests),
          static_cast<unsigned long long>(c.answered), text.empty() ? " none" : text.c_str(),
          failures.empty() ? " none" : failures.c_str());
    }
    if (units_.empty()) Log("  no requests yet");
  }

 private:
  static std::string Format(const char* format, unsigned code, unsigned long long n) {
    char text[48];
    std::snprintf(text, sizeof text, format, code, n);
    return text;
  }
  static std::string Format(const char* format, const char* name, unsigned long long n) {
    char text[64];
    std::snprintf(text, sizeof text, format, name, n);
    return text;
  }
  std::mutex mutex_;
  std::map<uint8_t, UnitCounters> units_;
};

std::string Describe(const Plan& plan) {
  static const char* const kVerbs[] = {"", "read coils", "read discrete inputs", "read holding registers",
                                       "read input registers", "write coil", "write register"};
  const uint8_t f = plan.request.function;
  const char* verb = f < 7 ? kVerbs[f] : f == kWriteMultipleCoils ? "write coils" : "write registers";
  char text[96];
  std::snprintf(text, sizeof text, "%s %u x%u (%%%s%u)", verb, plan.request.address, plan.request.count,
                plan.place.area ? plan.place.area->name : "?", plan.place.element);
  return text;
}

struct Gateway {
  Options options;
  AddressMap map = AddressMap::Default();
  std::set<int> stations;
  std::unique_ptr<ScanEngine> engine;
  Counters counters;

  std::mutex clientsMutex;
  struct Client {
    int id;
    int fd;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
  };
  std::list<Client> clients;
  int nextClient = 1;

  void Serve(Client* client);
  bool Reply(modbus_t* ctx, const uint8_t* query, int length, const Plan& plan, const Outcome& outcome);
};

// Sends the answer through libmodbus: an exception, or the normal response
// built by modbus_reply from a scratch mapping that holds exactly the items
// of the request.
bool Gateway::Reply(modbus_t* ctx, const uint8_t* query, int length, const Plan& plan, const Outcome& outcome) {
  if (outcome.exception != kNoException) {
    return modbus_reply_exception(ctx, query, outcome.exception) >= 0;
  }
  const Request& r = plan.request;
  const int n = r.count;
  modbus_mapping_t* m = nullptr;
  switch (r.function) {
    case kReadCoils:
    case kWriteSingleCoil:
    case kWriteMultipleCoils:
      m = modbus_mapping_new_start_address(r.address, n, 0, 0, 0, 0, 0, 0);
      break;
    case kReadDiscreteInputs:
      m = modbus_mapping_new_start_address(0, 0, r.address, n, 0, 0, 0, 0);
      break;
    case kReadInputRegisters:
      m = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, r.address, n);
      break;
    default:
      m = modbus_mapping_new_start_address(0, 0, 0, 0, r.address, n, 0, 0);
      break;
  }
  if (m == nullptr) return false;
  for (int k = 0; k < n && static_cast<size_t>(k) < outcome.items.size(); ++k) {
    switch (r.function) {
      case kReadCoils:
        m->tab_bits[k] = static_cast<uint8_t>(outcome.items[k] != 0);
        break;
      case kReadDiscreteInputs:
        m->tab_input_bits[k] = static_cast<uint8_t>(outcome.items[k] != 0);
        break;
      case kReadInputRegisters:
        m->tab_input_registers[k] = outcome.items[k];
        break;
      case kReadHoldingRegisters:
        m->tab_registers[k] = outcome.items[k];
        break;
      default:
        break;
    }
  }
  const bool sent = modbus_reply(ctx, query, length, m) >= 0;
  modbus_mapping_free(m);
  return sent;
}

// Reads the rest of a request whose function libmodbus does not know, so
// that it can be answered with exception 0x01 and the next frame starts in
// the right place. False when the rest does not come within a second.
bool SkipRest(int fd, int bytes) {
  uint8_t sink[260];
  while (bytes > 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    const ssize_t got = recv(fd, sink, static_cast<size_t>(std::min(bytes, 260)), 0);
    if (got <= 0) return false;
    bytes -= static_cast<int>(got);
  }
  return true;
}

void Gateway::Serve(Client* client) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
  modbus_set_socket(ctx, client->fd);
  // A client silent for the idle time is closed; once a frame has begun,
  // each of its parts must follow within a second.
  modbus_set_indication_timeout(ctx, static_cast<uint32_t>(options.idleTimeoutS), 0);
  modbus_set_byte_timeout(ctx, 1, 0);
  const int header = modbus_get_header_length(ctx);
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  std::string reason = "closed by the client";
  for (;;) {
    const int length = modbus_receive(ctx, query);
    if (length < 0) {
      if (errno == ETIMEDOUT) {
        reason = "idle or incomplete frame, timed out";
      } else if (errno == EMBBADDATA || errno == EMBMDATA) {
        reason = "malformed frame";
      } else if (errno != ECONNRESET && errno != 0) {
        reason = std::string("closed: ") + modbus_strerror(errno);
      }
      break;
    }
    if (length <= header) {
      reason = "malformed frame (no function code)";
      break;
    }
    const uint16_t protocol = static_cast<uint16_t>(query[2] << 8 | query[3]);
    const int announced = query[4] << 8 | query[5];
    Request request;
    const Decoded decoded = DecodeRequest(query[header - 1], query + header, static_cast<size_t>(length - header),
                                          &request);
    if (protocol != 0) {
      reason = "malformed frame (protocol identifier is not Modbus)";
      break;
    }
    if (announced != length - 6) {
      const bool skippable = decoded == Decoded::kUnsupported && announced > length - 6 && announced <= 254;
      if (!skippable || !SkipRest(client->fd, announced - (length - 6))) {
        reason = "malformed frame (length field disagrees with the frame)";
        break;
      }
    }
    if (decoded == Decoded::kMalformed) {
      reason = "malformed frame";
      break;
    }
    Plan plan = MakePlan(request, map, engine->Policy(), stations);
    Outcome outcome;
    outcome.exception = plan.exception;
    bool fromCache = false;
    if (plan.exception == kNoException) {
      const auto deadline = Clock::now() + std::chrono::milliseconds(options.deadlineMs);
      outcome = engine->Execute(client->id, plan, deadline, &fromCache);
      if (outcome.failure != FailureKind::kNone) {
        uint64_t skipped = 0;
        if (counters.MayLogFailure(request.unit, &skipped)) {
          Log("station %u: %s: %s (%s), exception 0x%02X%s", request.unit, Describe(plan).c_str(),
              FailureKindName(outcome.failure), outcome.message.c_str(), outcome.exception,
              skipped ? (" (" + std::to_string(skipped) + " more failures not logged)").c_str() : "");
        }
      } else if (outcome.expired) {
        uint64_t skipped = 0;
        if (counters.MayLogFailure(request.unit, &skipped)) {
          Log("station %u: %s: the line was not free before the deadline, exception 0x0B", request.unit,
              Describe(plan).c_str());
        }
      }
    }
    counters.Count(request.unit, outcome);
    engine->CountRequest(request.function, outcome.exception, fromCache);
    if (!Reply(ctx, query, length, plan, outcome)) {
      reason = "closed: the answer could not be sent";
      break;
    }
  }
  Log("client %d (%s) disconnected: %s", client->id, client->peer.c_str(), reason.c_str());
  // The socket is closed here, under the lock with which the stopping thread
  // shuts down the sockets of the clients still connected.
  std::lock_guard<std::mutex> lock(clientsMutex);
  modbus_close(ctx);
  modbus_free(ctx);
  client->finished = true;
  engine->ClientDisconnected();
}

// The engine's counters, for SIGUSR1 and the exit.
void Report(ScanEngine& engine) {
  for (const std::string& line : ReportLines(engine.Snapshot(), engine.TakeCacheAges())) Log("%s", line.c_str());
}

int Main(int argc, char** argv) {
  Gateway gateway;
  std::string error;
  ConfigFile config;
  if (!LoadConfiguration(argc, argv, &gateway.options, &config, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const Options& options = gateway.options;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options.mapFile.empty()) {
    std::ifstream in(options.mapFile);
    if (!in) {
      std::fprintf(stderr, "kelgate: cannot read the map file %s\n", options.mapFile.c_str());
      return 2;
    }
    if (!gateway.map.Load(in, &error)) {
      std::fprintf(stderr, "kelgate: %s: %s\n", options.mapFile.c_str(), error.c_str());
      return 2;
    }
  }

  // Signals are taken by the accepting loop through a signalfd; every thread
  // started from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

  DriverModule module;
  if (!module.Load(options.driver)) {
    Log("%s", module.Error().c_str());
    return 1;
  }
  Board board(module, options.board);
  {
    FailureCollector collector;
    collector.SetEcho(options.verbose);
    collector.Begin();
    if (board.Load(options.port, options.timeoutMs, options.line) != 0) {
      Log("board %d cannot be loaded on %s: %s", options.board, options.port.c_str(),
          collector.LastMessage().c_str());
      return 1;
    }
  }
  const std::vector<StationInfo> stations = FindStations(board);
  for (const StationInfo& info : stations) gateway.stations.insert(info.number);
  for (const ScanGroup& group : options.scan.groups) {
    if (group.station != kAllStations && gateway.stations.count(group.station) == 0) {
      std::fprintf(stderr, "kelgate: scan group %s: station %d is not in the network file of board %d\n",
                   DescribeGroup(group).c_str(), group.station, options.board);
      board.Close();
      return 2;
    }
  }

  modbus_t* server = modbus_new_tcp(options.listenAddress.c_str(), options.listenPort);
  const int listenFd = server ? modbus_tcp_listen(server, options.maxClients) : -1;
  if (listenFd < 0) {
    Log("cannot listen on %s:%u: %s", options.listenAddress.c_str(), options.listenPort, modbus_strerror(errno));
    board.Close();
    return 1;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &boundLength);

  gateway.engine = std::make_unique<ScanEngine>(board, stations, options.scan, options.writePolicy,
                                                static_cast<size_t>(options.maxClients) * 2, options.verbose,
                                                [](const std::string& line) { Log("%s", line.c_str()); });
  ScanEngine& engine = *gateway.engine;
  engine.Start();
  Log("serving board %d on %s (stations %s) at %s:%u; writable: %s; map: %s; at most %d clients", options.board,
      options.port.c_str(), DescribeStations(stations).c_str(), options.listenAddress.c_str(), ntohs(bound.sin_port),
      options.writePolicy.Describe().c_str(), gateway.map.Describe().c_str(), options.maxClients);
  const HealthConfig& health = options.scan.health;
  if (options.scan.groups.empty()) {
    Log("scan: none, every request goes to the line");
  } else {
    std::string groups;
    for (const ScanGroup& group : options.scan.groups) groups += " " + DescribeGroup(group);
    Log("scan:%s; %zu block reads per cycle; data stale after %u ms", groups.c_str(), engine.Blocks().size(),
        options.scan.maxAgeMs);
  }
  if (health.failures == 0) {
    Log("health: off, no station is demoted");
  } else {
    Log("health: a station is demoted after %d request(s) in a row without an answer; probed after %d s, "
        "the hold doubling up to %d s", health.failures, health.holdS, health.holdMaxS);
  }

  const char* stopSignal = nullptr;
  while (stopSignal == nullptr) {
    pollfd polls[2] = {{listenFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (poll(polls, 2, 1000) < 0 && errno != EINTR) break;
    {
      // Reap the threads of clients that have gone.
      std::lock_guard<std::mutex> lock(gateway.clientsMutex);
      for (auto it = gateway.clients.begin(); it != gateway.clients.end();) {
        if (it->finished) {
          it->thread.join();
          it = gateway.clients.erase(it);
        } else {
          ++it;
        }
      }
    }
    if (polls[1].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          gateway.counters.Print(gateway.stations);
          Report(engine);
        } else {
          stopSignal = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
        }
      }
    }
    if (stopSignal == nullptr && (polls[0].revents & POLLIN)) {
      sockaddr_in peer{};
      socklen_t peerLength = sizeof peer;
      const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
      if (fd < 0) continue;
      char address[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
      const std::string name = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
      std::lock_guard<std::mutex> lock(gateway.clientsMutex);
      if (static_cast<int>(gateway.clients.size()) >= options.maxClients) {
        Log("client from %s refused: %d clients connected (--max-clients %d)", name.c_str(),
            static_cast<int>(gateway.clients.size()), options.maxClients);
        close(fd);
        continue;
      }
      Gateway::Client& client = gateway.clients.emplace_back();
      client.id = gateway.nextClient++;
      client.fd = fd;
      client.peer = name;
      Log("client %d connected from %s (%d of %d)", client.id, name.c_str(), static_cast<int>(gateway.clients.size()),
          options.maxClients);
      engine.ClientConnected();
      client.thread = std::thread([&gateway, &client] { gateway.Serve(&client); });
    }
  }

  Log("stopping (%s)", stopSignal ? stopSignal : "poll failed");
  close(listenFd);
  {
    // Wakes every client thread out of its wait for a frame.
    std::lock_guard<std::mutex> lock(gateway.clientsMutex);
    for (Gateway::Client& client : gateway.clients) {
      if (!client.finished) shutdown(client.fd, SHUT_RDWR);
    }
  }
  engine.Stop();
  for (Gateway::Client& client : gateway.clients) client.thread.join();
  gateway.clients.clear();
  modbus_free(server);
  gateway.counters.Print(gateway.stations);
  Report(engine);
  gateway.engine.reset();
  board.Close();
  Log("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
