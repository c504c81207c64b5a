// The simulator on a real pseudo-terminal, from the driver's side of it: the
// C++ API and the plcsim program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "sim/simulator.h"
#include "tests/sim/harness.h"

extern char** environ;

namespace simtest {
namespace {

using plcsim::Area;
using std::chrono::steady_clock;

// The driver's end of the line: the slave, raw.
class DriverPort {
 public:
  explicit DriverPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~DriverPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open() const { return fd_ >= 0; }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until count bytes have come or the timeout has passed.
  Bytes Read(std::size_t count, Millis timeout = Millis(1000)) {
    Bytes bytes;
    const auto end = steady_clock::now() + timeout;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<Millis>(end - steady_clock::now()).count();
      if (left <= 0) break;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buffer[1024];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }
  Bytes Exchange(const Bytes& bytes, std::size_t count, Millis timeout = Millis(1000)) {
    Write(bytes);
    return Read(count, timeout);
  }

 private:
  int fd_;
};

// Polls the condition for up to a second.
template <class Condition>
bool Eventually(Condition condition) {
  const auto end = steady_clock::now() + Millis(1000);
  while (!condition()) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(Millis(1));
  }
  return true;
}

TEST(Simulator, ServesAPseudoTerminal) {
  plcsim::Simulator sim;
  EXPECT_EQ(sim.Path().rfind("/dev/pts/", 0), 0u) << sim.Path();
  EXPECT_EQ("/dev/" + sim.PortName(), sim.Path());
  DriverPort port(sim.Path());
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(AttachBccOk(port.Exchange(Attach(""), 24)));
  sim.Plc(0).SetWord(Area::R, 0, 0x1234);
  Bytes out = port.Exchange(ReadRequest(0x08, 0, 1), 42);
  ASSERT_EQ(out.size(), 42u);
  EXPECT_EQ(out[24], 0x34);
  EXPECT_EQ(out[25], 0x12);
  port.Write(kAck);
  out = port.Exchange(WriteRequest(0x4C, 16, 1, {0x01}), 42);  // %M17 = 1
  ASSERT_EQ(out.size(), 42u);
  port.Write(kAck);
  EXPECT_EQ(sim.Plc(0).Get("%M17"), 1);
  EXPECT_TRUE(sim.Plc(0).Bit(Area::M, 16));
}

TEST(Simulator, KeepsServingWhenTheDriverClosesAndReopensTheLine) {
  plcsim::Simulator sim;
  for (int round = 0; round < 3; ++round) {
    DriverPort port(sim.Path());
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.Exchange(Attach(""), 24).size(), 24u) << round;
  }
  std::this_thread::sleep_for(Millis(20));  // no slave open for a while
  DriverPort port(sim.Path());
  EXPECT_EQ(port.Exchange(Attach(""), 24).size(), 24u);
}

TEST(Simulator, StationHandlesReadAndWriteMemoryAndSetFaults) {
  plcsim::SimulatorOptions options;
  options.stations = plcsim::ParseNetworkText("01PLCA\n02PLCB*\n");
  plcsim::Simulator sim(options);
  EXPECT_EQ(sim.StationNumbers(), (std::vector<int>{1, 2}));
  EXPECT_THROW(sim.Plc(3), std::out_of_range);
  plcsim::PlcRef b = sim.Plc(2);
  b.SetWords(Area::R, 10, {7, 8, 9});
  EXPECT_EQ(b.Words(Area::R, 10, 3), (std::vector<uint16_t>{7, 8, 9}));
  EXPECT_EQ(sim.Plc(1).Word(Area::R, 10), 11) << "each station has its own memory";
  b.Set("%AI1", -1);
  EXPECT_EQ(b.Get("AI1"), 0xFFFF);
  b.SetByte(Area::Q, 0, 0x81);
  EXPECT_EQ(b.Get("Q1"), 1);
  EXPECT_EQ(b.Get("Q2"), 0);
  EXPECT_EQ(b.Get("Q8"), 1);
  EXPECT_THROW(b.Get("nonsense"), std::invalid_argument);

  DriverPort port(sim.Path());
  port.Write(SnpxBroadcastAttach());
  EXPECT_TRUE(Eventually([&] { return b.Attached(); }));
  b.ErrorStatus(0x0001, 1);
  EXPECT_EQ(ParseSnpx(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 10, 1), 15)).status, 0x0001);
  const SnpxResponse ok = ParseSnpx(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 10, 1), 17));
  EXPECT_EQ(ok.data, Hex("07 00"));
  b.Silent();
  EXPECT_EQ(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 10, 1), 15, Millis(100)).size(), 0u);
  b.ClearFaults();
  port.Write(SnpxBroadcastAttach());
  EXPECT_EQ(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 10, 1), 17).size(), 17u);
  EXPECT_EQ(b.Stats().reads, 2);
  EXPECT_EQ(b.Stats().errors, 1);
}

TEST(Simulator, TracesEveryFrame) {
  std::mutex mutex;
  std::vector<std::string> lines;
  plcsim::SimulatorOptions options;
  options.stations = plcsim::ParseNetworkText("02PLCB*\n");
  options.trace = [&](std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  };
  options.hexDump = true;
  plcsim::Simulator sim(options);
  DriverPort port(sim.Path());
  port.Write(SnpxBroadcastAttach());
  std::this_thread::sleep_for(Millis(10));
  EXPECT_EQ(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 99, 10), 35).size(), 35u);
  std::this_thread::sleep_for(Millis(10));
  sim.Stop();
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  EXPECT_NE(all.find("rx SNPX broadcast attach -> station 2 \"PLCB\" attached"), std::string::npos) << all;
  EXPECT_NE(all.find("rx SNPX read %R idx 99 len 10 at \"PLCB\" -> station 2 \"PLCB\": status 0x0000, 20 bytes"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("tx station 2 \"PLCB\": SNPX response status 0x0000, 20 bytes"), std::string::npos) << all;
  EXPECT_NE(all.find("1B 58 FF FF FF FF FF FF FF FF 00"), std::string::npos) << "hex dump\n" << all;
}

TEST(Simulator, PacedBytesTakeTheirCharacterTime) {
  plcsim::SimulatorOptions options;
  options.pace = true;
  options.line.baud = 9600;  // 11 bits a character: 1.15 ms
  plcsim::Simulator sim(options);
  DriverPort port(sim.Path());
  port.Write(Attach(""));
  const auto start = steady_clock::now();
  EXPECT_EQ(port.Read(24).size(), 24u);
  EXPECT_GE(steady_clock::now() - start, Millis(5 + 25));
}

TEST(Simulator, RefusesADeviceThatIsNotThere) {
  plcsim::SimulatorOptions options;
  options.device = "/dev/plcsim-no-such-device";
  try {
    plcsim::Simulator sim(options);
    ADD_FAILURE() << "opened";
  } catch (const plcsim::LineError& e) {
    EXPECT_NE(std::string(e.what()).find("/dev/plcsim-no-such-device"), std::string::npos) << e.what();
  }
}

TEST(Simulator, ServesADeviceAndReportsItBusy) {
  // A pseudo-terminal slave stands in for a serial device.
  plcsim::Pty pty = plcsim::OpenPty();
  plcsim::SimulatorOptions options;
  options.device = pty.slavePath;
  plcsim::Simulator sim(options);
  EXPECT_EQ(sim.Path(), pty.slavePath);
  try {
    plcsim::Simulator second(options);
    ADD_FAILURE() << "opened twice";
  } catch (const plcsim::LineError& e) {
    EXPECT_NE(std::string(e.what()).find("busy"), std::string::npos) << e.what();
  }
  const Bytes attach = Attach("");
  ASSERT_EQ(::write(pty.master.Get(), attach.data(), attach.size()), 24);
  Bytes response;
  const auto end = steady_clock::now() + Millis(1000);
  while (response.size() < 24 && steady_clock::now() < end) {
    uint8_t buffer[64];
    const ssize_t n = ::read(pty.master.Get(), buffer, sizeof buffer);
    if (n > 0) response.insert(response.end(), buffer, buffer + n);
    std::this_thread::sleep_for(Millis(1));
  }
  EXPECT_TRUE(AttachBccOk(response));
}

// ---------------------------------------------------------------------------
// The plcsim program.

std::string ProgramPath() { return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "plcsim").string(); }

struct Program {
  pid_t pid = -1;
  FILE* out = nullptr;
  int errFd = -1;
};

Program Spawn(const std::vector<std::string>& args) {
  int outPipe[2], errPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(errPipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  std::vector<std::string> all{ProgramPath()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  Program program;
  EXPECT_EQ(posix_spawn(&program.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  program.out = fdopen(outPipe[0], "r");
  program.errFd = errPipe[0];
  return program;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// Waits for the program; returns its exit status, -1 if it hung.
int Finish(Program& program, std::string* out = nullptr, std::string* err = nullptr) {
  int status = 0;
  const auto end = steady_clock::now() + std::chrono::seconds(5);
  pid_t done = 0;
  while ((done = waitpid(program.pid, &status, WNOHANG)) == 0 && steady_clock::now() < end) {
    std::this_thread::sleep_for(Millis(5));
  }
  if (done == 0) {
    kill(program.pid, SIGKILL);
    waitpid(program.pid, &status, 0);
    return -1;
  }
  if (out) *out = ReadAll(fileno(program.out));
  if (err) *err = ReadAll(program.errFd);
  fclose(program.out);
  close(program.errFd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(ProgramPath())) GTEST_SKIP() << "plcsim is not beside the tests";
  }
};

TEST_F(ProgramTest, PrintsTheSlaveFirstServesAndStopsOnSigterm) {
  const std::string network = ::testing::TempDir() + "plcsim_program_test_" + std::to_string(getpid()) + ".int";
  std::ofstream(network) << "WAIT50\n01PLCA\n02PLCB*\n";
  Program program = Spawn({"--network", network, "--set", "2:R1=1234,5678", "--set", "M17=1", "--dump", "2:R1:3",
                           "--dump", "1:M17", "--fault", "1:nak@1", "--trace"});
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, program.out), nullptr);
  std::string path(line);
  path.erase(path.find_last_not_of("\n") + 1);
  EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

  DriverPort port(path);
  ASSERT_TRUE(port.Open());
  port.Write(SnpxBroadcastAttach());
  const SnpxResponse response = ParseSnpx(port.Exchange(SnpxRequest("PLCB", 1, 0x08, 0, 2), 19));
  EXPECT_EQ(response.data, Hex("D2 04 2E 16"));
  EXPECT_EQ(port.Exchange(SnpxRequest("PLCB", 2, 0x08, 2, 1, Hex("09 00")), 15).size(), 15u);
  EXPECT_EQ(port.Exchange(Attach("PLCA"), 24).size(), 24u);
  EXPECT_EQ(ToHex(port.Exchange(ReadRequest(0x08, 0, 1), 2)), "15 00") << "--fault 1:nak@1";

  kill(program.pid, SIGTERM);
  std::string out, err;
  EXPECT_EQ(Finish(program, &out, &err), 0);
  EXPECT_EQ(out, "02 %R1 = 1234 5678 9\n01 %M17 = 1\n");
  EXPECT_NE(err.find("plcsim: serving stations 1 \"PLCA\" (SNP), 2 \"PLCB\" (SNPX)"), std::string::npos) << err;
  EXPECT_NE(err.find("rx SNPX broadcast attach"), std::string::npos) << err;
  std::remove(network.c_str());
}

TEST_F(ProgramTest, ReportsBadOptionsAndFiles) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"--bogus"}, 2, "unknown option \"--bogus\""},
      {{"--baud"}, 2, "--baud needs a value"},
      {{"--baud", "fast"}, 2, "is not a number"},
      {{"--parity", "weird"}, 2, "is not none, odd, even, mark or space"},
      {{"--fault", "1:sparkle"}, 2, "unknown fault \"sparkle\""},
      {{"--fault", "9:silent"}, 2, "there is no station 9"},
      {{"--set", "R0=1"}, 2, "is not a PLC reference"},
      {{"--set", "R16385=1"}, 2, "%R16385 is outside the area"},
      {{"--network", "/nonexistent/kelG101.int"}, 1, "/nonexistent/kelG101.int: cannot open the network file"},
      {{"--device", "/dev/plcsim-no-such-device"}, 1, "/dev/plcsim-no-such-device: cannot open"},
  };
  for (const auto& c : cases) {
    Program program = Spawn(c.args);
    std::string out, err;
    EXPECT_EQ(Finish(program, &out, &err), c.status) << c.args[0];
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(out, "");
  }
}

TEST_F(ProgramTest, HelpExplainsTheOptions) {
  Program program = Spawn({"--help"});
  std::string out;
  EXPECT_EQ(Finish(program, &out), 0);
  for (const char* option : {"--network", "--device", "--baud", "--pace", "--turnaround", "--trace", "--hex",
                             "--fault", "--set", "--dump", "--size", "silent", "bad-bcc", "endless", "noise"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace simtest
