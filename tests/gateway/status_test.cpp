// kelgate's HTTP door without a server, and the keeper of the serial device:
// the metrics and JSON texts of a report, the answer to each path, the
// [http] section, and a real pseudo-terminal vanishing under the keeper.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "gateway/http_server.h"
#include "gateway/line_keeper.h"
#include "gateway/status.h"

namespace kelgate {
namespace {

StationCounters Station(int number, const char* snpId, Protocol protocol) {
  StationCounters s;
  s.info.number = number;
  s.info.snpId = snpId;
  s.info.protocol = protocol;
  return s;
}

StatusReport SampleReport() {
  StatusReport report;
  StationCounters press = Station(1, "PRESS1", Protocol::kSnp);
  press.lastRoundTripMs = 31.5;
  StationCounters mute = Station(6, "MU\"TE\\", Protocol::kSnpx);  // an ID that needs escaping
  mute.demoted = true;
  report.engine.stations = {press, mute, Station(9, "", Protocol::kSnp)};
  report.engine.line.busySeconds = 86400.125;  // a long uptime keeps its fraction
  report.device = DeviceState{"ttyUSB0", 1, false, 2};
  report.maxAgeMs = 1000;
  return report;
}

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// What the end-to-end test cannot easily reach: escaped labels, kinds that
// never happened, long-running fractions, samples that do not exist yet.
TEST(Status, MetricsTextRules) {
  const std::string text = PrometheusText(SampleReport());
  const std::string mute = "station=\"6\",snp_id=\"MU\\\"TE\\\\\",protocol=\"SNPX\"";
  const std::string expected[] = {
      "kelgate_station_failures_total{station=\"1\",snp_id=\"PRESS1\",protocol=\"SNP\",kind=\"no response\"} 0\n",
      "kelgate_station_round_trip_seconds{station=\"1\",snp_id=\"PRESS1\",protocol=\"SNP\"} 0.0315\n",
      "kelgate_station_demoted{" + mute + "} 1\n",
      "kelgate_line_busy_seconds_total{port=\"ttyUSB0\"} 86400.125\n",
      "kelgate_line_device_losses_total{port=\"ttyUSB0\"} 2\n",
  };
  for (const std::string& line : expected) EXPECT_TRUE(Contains(text, line)) << line << "\n" << text;
  EXPECT_FALSE(Contains(text, "kelgate_station_data_age_seconds{" + mute)) << text;
  EXPECT_FALSE(Contains(text, "kelgate_station_round_trip_seconds{station=\"9\"")) << text;
  // Each family is announced once.
  EXPECT_EQ(text.find("# TYPE kelgate_station_failures_total "), text.rfind("# TYPE kelgate_station_failures_total "));
}

TEST(Status, StationStates) {
  StatusReport report = SampleReport();
  struct Case {
    bool demoted;
    bool scanned;
    std::optional<double> ageMs;
    const char* state;
  } cases[] = {
      {true, true, 10.0, "demoted"},   {false, true, 10.0, "good"},       {false, true, 1000.0, "good"},
      {false, true, 1000.5, "stale"},  {false, true, std::nullopt, "stale"}, {false, false, std::nullopt, "unscanned"},
      {true, false, std::nullopt, "demoted"},
  };
  for (const Case& c : cases) {
    StationCounters s = Station(3, "X", Protocol::kSnp);
    s.demoted = c.demoted;
    s.dataAgeMs = c.ageMs;
    report.scanned = c.scanned ? std::set<int>{3} : std::set<int>{};
    EXPECT_STREQ(StationState(report, s), c.state) << c.demoted << c.scanned;
  }
}

TEST(Status, JsonEscapesIdsAndTellsWhatIsNotKnownYet) {
  const std::string json = StationsJson(SampleReport());
  const char* const expected[] = {
      "{\"device\":{\"port\":\"ttyUSB0\",\"board\":1,\"open\":false,\"losses\":2}",
      "{\"station\":6,\"snp_id\":\"MU\\\"TE\\\\\",\"protocol\":\"SNPX\",\"state\":\"demoted\",\"demoted\":true,"
      "\"data_age_ms\":null,\"round_trip_ms\":null",
  };
  for (const char* piece : expected) EXPECT_TRUE(Contains(json, piece)) << piece << "\n" << json;
}

TEST(Http, EachPathAndMethod) {
  int reports = 0;
  const auto report = [&] {
    ++reports;
    return SampleReport();
  };
  struct Case {
    const char* method;
    const char* path;
    unsigned status;
    const char* type;
    const char* begins;
    int reports;  // the report is made only for the texts that need it
  } cases[] = {
      {"GET", "/", 200, "text/html; charset=utf-8", "<!DOCTYPE html>", 0},
      {"HEAD", "/", 200, "text/html; charset=utf-8", "<!DOCTYPE html>", 0},
      {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "# HELP kelgate_", 1},
      {"GET", "/api/stations", 200, "application/json", "{\"device\":", 1},
      {"POST", "/metrics", 405, "text/plain; charset=utf-8", "POST not allowed", 0},
      {"GET", "/metrics/", 404, "text/plain; charset=utf-8", "not found: /metrics/", 0},
      {"GET", "/index.html", 404, "text/plain; charset=utf-8", "not found", 0},
  };
  for (const Case& c : cases) {
    reports = 0;
    const HttpReply reply = Respond(c.method, c.path, report);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
    EXPECT_STREQ(reply.contentType, c.type) << c.path;
    EXPECT_EQ(reply.body.rfind(c.begins, 0), 0u) << c.path << ": " << reply.body.substr(0, 40);
    EXPECT_EQ(reports, c.reports) << c.path;
  }
  // The page stands alone: nothing is fetched from elsewhere.
  const std::string page = Respond("GET", "/", report).body;
  for (const char* outside : {"http://", "https://", "src=", "<link", "@import"}) {
    EXPECT_FALSE(Contains(page, outside)) << outside;
  }
}

TEST(Http, ConfigFromTheFileAndTheOption) {
  struct Case {
    const char* toml;  // nullptr: no file
    const char* option;
    bool ok;
    const char* address;
    uint16_t port;
    const char* error;
  } cases[] = {
      {nullptr, "", true, "", 0, ""},
      {"[line]\nport = \"x\"\n", "", true, "", 0, ""},
      {"[http]\nlisten = \"127.0.0.1:8080\"\n", "", true, "127.0.0.1", 8080, ""},
      {"[http]\nlisten = \"127.0.0.1:8080\"\n", "127.0.0.1:0", true, "127.0.0.1", 0, ""},
      {nullptr, "127.0.0.2:9", true, "127.0.0.2", 9, ""},
      {"[http]\nlisten = \"localhost:80\"\n", "", false, "", 0,
       "kelgate.toml:2: listen: expects \"ADDR:PORT\" such as \"127.0.0.1:8080\""},
      {"[http]\nlisten = 8080\n", "", false, "", 0, "kelgate.toml:2: listen: expects"},
      {"[http]\n\nport = 1\n", "", false, "", 0, "kelgate.toml:3: unknown key \"port\" in [http]"},
      {"http = 1\n", "", false, "", 0, "kelgate.toml:1: [http] must be a table"},
  };
  for (const Case& c : cases) {
    ConfigFile file;
    if (c.toml != nullptr) {
      file.path = "kelgate.toml";
      file.table = toml::parse(c.toml, file.path);
    }
    HttpConfig config;
    std::string error;
    EXPECT_EQ(ReadHttpConfig(file, c.option, &config, &error), c.ok) << (c.toml ? c.toml : "") << c.option;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    if (c.ok) {
      EXPECT_EQ(config.address, c.address);
      EXPECT_EQ(config.port, c.port);
      EXPECT_EQ(config.Enabled(), *c.address != '\0');
    }
  }
}

// A pseudo-terminal stands for the device; closing its master removes the
// slave's node, as unplugging an adapter removes /dev/ttyUSB0.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[64];
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  void Unplug() {
    close(master);
    master = -1;
  }
};

TEST(LineKeeper, ClosesTheVanishedDeviceAndReopensWithBackoff) {
  // Neither a missing path nor a file that is no device can be watched.
  DeviceWatch watch;
  EXPECT_FALSE(watch.Attach("/dev/pts/none"));
  EXPECT_FALSE(watch.Attach("/proc/self/status"));
  Pty pty;
  std::vector<std::string> log;
  int closes = 0;
  int reopens = 0;
  bool deviceBack = false;
  LineKeeper keeper(pty.path,
                    {[&] { return ++closes, true; }, [&] { return ++reopens, deviceBack; },
                     [&](const std::string& line) { log.push_back(line); }},
                    ReopenBackoff(std::chrono::seconds(1), std::chrono::seconds(4)));
  keeper.Opened();
  const Clock::time_point t0{};
  using std::chrono::milliseconds;
  bool back = false;
  // A failure while the device is there is the station's business.
  EXPECT_FALSE(keeper.CheckAfterFailure(t0));
  EXPECT_TRUE(keeper.Ready(t0, &back));
  pty.Unplug();
  EXPECT_TRUE(keeper.CheckAfterFailure(t0));
  EXPECT_FALSE(keeper.CheckAfterFailure(t0));  // noticed once
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(keeper.Open());
  EXPECT_EQ(keeper.Losses(), 1u);
  // Attempts at 1 s, then 2 s and 4 s later, then every 4 s.
  struct Step {
    int atMs;
    int reopens;
  } steps[] = {{999, 0}, {1000, 1}, {2999, 1}, {3000, 2}, {6999, 2}, {7000, 3}, {11000, 4}, {15000, 5}};
  for (const Step& step : steps) {
    EXPECT_FALSE(keeper.Ready(t0 + milliseconds(step.atMs), &back)) << step.atMs;
    EXPECT_EQ(reopens, step.reopens) << step.atMs;
  }
  EXPECT_EQ(keeper.NextAttempt(), t0 + milliseconds(19000));
  deviceBack = true;
  EXPECT_TRUE(keeper.Ready(t0 + milliseconds(19000), &back));
  EXPECT_TRUE(back);
  EXPECT_TRUE(keeper.Open());
  EXPECT_EQ(keeper.NextAttempt(), Clock::time_point::max());
  const std::vector<std::string> expected = {
      "serial device " + pty.path + " vanished: its stations are answered 0x0B until it is back; reopening in 1 s",
      "serial device " + pty.path + " still gone; next attempt in 2 s",
      "serial device " + pty.path + " still gone; next attempt in 4 s",
      // At its longest the delay is not told again.
      "serial device " + pty.path + " is back: reopened after 19 s",
  };
  EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace kelgate
