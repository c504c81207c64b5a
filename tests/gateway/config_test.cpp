// kelgate's configuration file and the scan options: every key reaches its
// setting, the command line overrides the file, and each fault is one line
// that names the file and the line.
#include "gateway/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace kelgate {
namespace {

// A configuration file in a scratch folder, removed at the end.
class TomlFile {
 public:
  explicit TomlFile(const std::string& text) {
    char name[] = "/tmp/kelgate-config-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    path_ = name;
    std::ofstream(path_) << text;
  }
  ~TomlFile() { unlink(path_.c_str()); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

bool Load(const std::string& path, std::vector<const char*> extra, Options* options, ConfigFile* file,
          std::string* error) {
  std::vector<const char*> argv = {"kelgate", "--config", path.c_str()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return LoadConfiguration(static_cast<int>(argv.size()), argv.data(), options, file, error);
}

const char kFull[] = R"(# every key
[line]
port = "pts/9"
board = 42
baud = 9600
parity = "even"
data_bits = 7
stop_bits = 1.5
timeout_ms = 300

[modbus]
listen = "127.0.0.1:0"
allow_write = ["R:1-100", "Q:1-64"]
max_clients = 16
idle_timeout_s = 30
deadline_ms = 2000

[scan]
max_age_ms = 9000

[[scan.group]]
station = "*"
area = "R"
first = 1
last = 10
interval_ms = 500

[[scan.group]]
station = 3
area = "AI"
first = 1
last = 4
name = "flow"
type = "float"

[health]
failures = 2
hold_s = 5
hold_max_s = 40

[mqtt]
host = "broker"
anything = { else = 1 }

[http]
listen = "127.0.0.1:8080"
)";

TEST(ConfigFile, EveryKeyReachesItsSettingAndOtherSectionsStayForTheirModules) {
  TomlFile toml(kFull);
  Options options;
  ConfigFile file;
  std::string error;
  ASSERT_TRUE(Load(toml.Path(), {}, &options, &file, &error)) << error;
  EXPECT_EQ(options.port, "pts/9");
  EXPECT_EQ(options.board, 42);
  EXPECT_EQ(options.line.baudRate, 9600);
  EXPECT_EQ(options.line.parity, 2);
  EXPECT_EQ(options.line.dataBits, 7);
  EXPECT_EQ(options.line.stopBits, 1);
  EXPECT_EQ(options.timeoutMs, 300);
  EXPECT_EQ(options.listenPort, 0);
  EXPECT_EQ(options.writePolicy.Describe(), "%R1-100, %Q1-64");
  EXPECT_EQ(options.maxClients, 16);
  EXPECT_EQ(options.idleTimeoutS, 30);
  EXPECT_EQ(options.deadlineMs, 2000);
  EXPECT_EQ(options.scan.maxAgeMs, 9000u);
  ASSERT_EQ(options.scan.groups.size(), 2u);
  EXPECT_EQ(options.scan.groups[0].station, kAllStations);
  EXPECT_EQ(options.scan.groups[0].intervalMs, 500u);
  EXPECT_EQ(options.scan.groups[1].station, 3);
  EXPECT_STREQ(options.scan.groups[1].area->name, "AI");
  EXPECT_EQ(options.scan.groups[1].last, 4u);
  EXPECT_EQ(options.scan.groups[1].intervalMs, kDefaultIntervalMs);
  EXPECT_EQ(options.scan.groups[1].name, "flow");
  EXPECT_EQ(options.scan.groups[1].type, ValueType::kFloat);
  EXPECT_EQ(options.scan.health.failures, 2);
  EXPECT_EQ(options.scan.health.holdS, 5);
  EXPECT_EQ(options.scan.health.holdMaxS, 40);

  const toml::table* mqtt = file.Section("mqtt");
  ASSERT_NE(mqtt, nullptr);
  EXPECT_EQ((*mqtt)["host"].value_or(std::string()), "broker");
  EXPECT_EQ(file.Fault(*mqtt->get("host"), "no such broker"), toml.Path() + ":42: no such broker");
  EXPECT_NE(file.Section("http"), nullptr);
  EXPECT_EQ(file.Section("nothing"), nullptr);
}

TEST(ConfigFile, TheCommandLineOverridesTheFile) {
  TomlFile toml(kFull);
  Options options;
  ConfigFile file;
  std::string error;
  ASSERT_TRUE(Load(toml.Path(),
                   {"--baud", "19200", "--scan", "1:M:1-32@250", "--allow-write", "AQ:1-2", "--health-failures", "0"},
                   &options, &file, &error))
      << error;
  EXPECT_EQ(options.line.baudRate, 19200);
  EXPECT_EQ(options.board, 42) << "not given: the file's";
  ASSERT_EQ(options.scan.groups.size(), 1u) << "the command line's list replaces the file's";
  EXPECT_STREQ(options.scan.groups[0].area->name, "M");
  EXPECT_EQ(options.scan.groups[0].intervalMs, 250u);
  EXPECT_EQ(options.writePolicy.Describe(), "%AQ1-2");
  EXPECT_EQ(options.scan.health.failures, 0);
}

TEST(ConfigFile, EachFaultIsOneLineWithTheFileAndTheLine) {
  struct Case {
    const char* text;
    const char* fault;  // after "FILE:"
  } cases[] = {
      {"[line]\nport = \"x\"\nbaud = \"fast\"\n", "3: baud: bad value \"fast\""},
      {"[line]\nport = \"x\"\n[lines]\nbaud = 1\n", "3: unknown section [lines]"},
      {"port = \"x\"\n", "1: \"port\" is not in a section"},
      {"[modbus]\nallow-write = \"R\"\n", "2: unknown key \"allow-write\" in [modbus]"},
      {"[modbus]\nallow_write = \"Z:1-2\"\n",
       "2: allow_write: \"Z\" is no PLC area (R, AI, AQ, I, Q, T, M, G, SA, "
       "SB, SC, S)"},
      {"[health]\nfailures = true\n", "2: failures: expects a number or a string"},
      // Syntax faults in toml++'s words.
      {"[line]\nport = \"x\"\nbaud = 9600\nbaud = 4800\n",
       "4: Error while parsing key-value pair: cannot redefine existing integer 'baud'"},
      {"[[scan.group]]\nstation = 1\narea = \"R\"\n",
       "1: [[scan.group]] needs station, area and first (and last "
       "for more than one element)"},
      {"[[scan.group]]\nstation = 1\narea = \"M\"\nfirst = 1\nlast = 8\ntype = \"int16\"\n",
       "1: scan group: area M holds bits, which take no type"},
      {"[[scan.group]]\nstation = 1\narea = \"R\"\nfirst = 1\nlast = 3\ntype = \"int32\"\n",
       "1: scan group: int32 takes two words each: the range needs an even count"},
      {"[[scan.group]]\nstation = 65\n", "2: station: expects a station number (0-64) or \"*\""},
      {"[[scan.group]]\nstation = 1\narea = \"R\"\nfirst = 0\n", "4: first: expects a number within 1-65536"},
      {"[[scan.group]]\nstation = 1\narea = \"R\"\nfirst = 1\nperiod = 5\n",
       "5: unknown key \"period\" in [[scan.group]]"},
      {"[[scan.group]]\nstation = 1\narea = \"R\"\nfirst = 1\ntype = \"double\"\n",
       "5: type: expects \"uint16\", \"int16\", \"int32\" or \"float\""},
      {"[scan]\nmax_age_ms = 0\n", "2: max_age_ms: bad value \"0\""},
  };
  for (const Case& c : cases) {
    TomlFile toml(c.text);
    Options options;
    ConfigFile file;
    std::string error;
    EXPECT_FALSE(Load(toml.Path(), {}, &options, &file, &error)) << c.text;
    EXPECT_EQ(error, toml.Path() + ":" + c.fault) << c.text;
  }
  Options options;
  ConfigFile file;
  std::string error;
  EXPECT_FALSE(Load("/nonexistent/kelgate.toml", {}, &options, &file, &error));
  EXPECT_EQ(error.rfind("/nonexistent/kelgate.toml: ", 0), 0u) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;

  // Settings that disagree are told in the options' words.
  TomlFile holds("[health]\nhold_s = 20\nhold_max_s = 10\n[line]\nport = \"x\"\n");
  EXPECT_FALSE(Load(holds.Path(), {}, &options, &file, &error));
  EXPECT_EQ(error, "kelgate: --hold-max-s 10 is shorter than --hold-s 20 (kelgate --help lists the options)");
}

TEST(ScanOption, GroupsAndTheirFaults) {
  ScanGroup group;
  std::string error;
  ASSERT_TRUE(ParseScanGroup("*:R:1-10@500", &group, &error)) << error;
  EXPECT_EQ(group.station, kAllStations);
  EXPECT_EQ(group.first, 1u);
  EXPECT_EQ(group.last, 10u);
  EXPECT_EQ(group.intervalMs, 500u);
  ASSERT_TRUE(ParseScanGroup("3:AI:1-64", &group, &error)) << error;
  EXPECT_EQ(group.station, 3);
  EXPECT_EQ(group.intervalMs, kDefaultIntervalMs);
  ASSERT_TRUE(ParseScanGroup("0:%M:17", &group, &error)) << error;
  EXPECT_EQ(group.last, 17u);

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"R:1-10", "\"R:1-10\" is not ST:AREA:FIRST-LAST[@MS]"},
      {"x:R:1-10", "\"x\" is not a station number (0-64) or *"},
      {"65:R:1-10", "\"65\" is not a station number (0-64) or *"},
      {"1:Z:1-10", "\"Z\" is no PLC area (R, AI, AQ, I, Q, T, M, G, SA, SB, SC, S)"},
      {"1:R:10-1", "\"10-1\" is not a range of element numbers FIRST-LAST"},
      {"1:R:0-1", "elements 0-1 are not within 1-65536"},
      {"1:R:1-65537", "elements 1-65537 are not within 1-65536"},
      {"1:R:1-10@", "\"\" is not an interval in milliseconds"},
      {"1:R:1-10@5", "interval 5 ms is not within 10-86400000"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ParseScanGroup(c.text, &group, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  const char* argv[] = {"kelgate", "--port", "x", "--scan", "1:R:5"};
  Options options;
  ASSERT_TRUE(ParseOptions(5, argv, &options, &error)) << error;
  EXPECT_EQ(options.scan.health.failures, 1) << "health is on by default";
  EXPECT_EQ(options.scan.health.holdS, 10);
  EXPECT_EQ(options.scan.health.holdMaxS, 300);
  EXPECT_EQ(options.scan.maxAgeMs, kDefaultMaxAgeMs);
  const char* bad[] = {"kelgate", "--port", "x", "--scan", "1:R"};
  EXPECT_FALSE(ParseOptions(5, bad, &options, &error));
  EXPECT_EQ(error, "--scan: \"1:R\" is not ST:AREA:FIRST-LAST[@MS]");
}

}  // namespace
}  // namespace kelgate
