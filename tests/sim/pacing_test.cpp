// A paced simulator on a real pseudo-terminal keeps the line's time in both
// directions: the bytes it sends reach the driver one character time apart,
// and a reply starts no sooner than the request's last byte would have
// arrived, plus the turnaround.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "sim/simulator.h"
#include "tests/sim/harness.h"

namespace simtest {
namespace {

using std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The driver's end of the line, recording when every byte came.
class TimedPort {
 public:
  explicit TimedPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~TimedPort() { ::close(fd_); }

  steady_clock::time_point Write(const Bytes& bytes) {
    const auto at = steady_clock::now();
    EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return at;
  }

  // Reads count bytes (or what comes within the timeout); first and last
  // are the times the first and the last of them were read, and arrivals
  // (when given) gets the number of bytes read so far and the time, at
  // every read.
  Bytes Read(std::size_t count, steady_clock::time_point* first = nullptr, steady_clock::time_point* last = nullptr,
             Millis timeout = Millis(5000), std::vector<std::pair<double, double>>* arrivals = nullptr) {
    Bytes bytes;
    const auto end = steady_clock::now() + timeout;
    while (bytes.size() < count && steady_clock::now() < end) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 10) <= 0) continue;
      uint8_t buffer[2048];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n <= 0) continue;
      const auto now = steady_clock::now();
      if (bytes.empty() && first != nullptr) *first = now;
      bytes.insert(bytes.end(), buffer, buffer + n);
      if (last != nullptr) *last = now;
      if (arrivals != nullptr) arrivals->emplace_back(static_cast<double>(bytes.size()), Seconds(now - *first).count());
    }
    return bytes;
  }

 private:
  int fd_;
};

// Least-squares slope of y over x: seconds per byte, whatever a late
// wake-up of the reading thread did to single points.
double Slope(const std::vector<std::pair<double, double>>& points) {
  double mx = 0, my = 0;
  for (const auto& [x, y] : points) mx += x, my += y;
  mx /= static_cast<double>(points.size());
  my /= static_cast<double>(points.size());
  double sxx = 0, sxy = 0;
  for (const auto& [x, y] : points) sxx += (x - mx) * (x - mx), sxy += (x - mx) * (y - my);
  return sxy / sxx;
}

double CharSeconds(uint32_t baud) { return 11.0 / baud; }  // start, 8 data, parity, stop

plcsim::SimulatorOptions Paced(uint32_t baud, std::size_t textBufferData = 256) {
  plcsim::SimulatorOptions options;
  options.pace = true;
  options.line.baud = baud;
  options.engine.textBufferData = textBufferData;
  return options;
}

// An SNP read whose reply data comes in one text buffer of 1000 bytes: from
// its first byte to its last, 999 character times pass.
TEST(Pacing, AThousandBytesTakeTheirCharacterTime) {
  for (const uint32_t baud : {19200u, 38400u}) {
    SCOPED_TRACE(baud);
    plcsim::Simulator sim(Paced(baud, 992));
    TimedPort port(sim.Path());
    port.Write(Attach(""));
    ASSERT_EQ(port.Read(24).size(), 24u);
    port.Write(ReadRequest(8, 0, 496));
    const Bytes ackAndReply = port.Read(42);
    ASSERT_EQ(ackAndReply.size(), 42u);
    ASSERT_EQ(ackAndReply[2 + 9], 0x94) << ToHex(ackAndReply);
    port.Write(kAck);

    steady_clock::time_point first{}, last{};
    std::vector<std::pair<double, double>> arrivals;
    const Bytes text = port.Read(1000, &first, &last, Millis(5000), &arrivals);
    ASSERT_EQ(text.size(), 1000u);
    EXPECT_TRUE(TextBccOk(text));
    // Byte by byte at the character time, and all of them in 999 of them
    // after the first (a busy machine may wake the reader late at either end).
    EXPECT_NEAR(Slope(arrivals), CharSeconds(baud), 0.02 * CharSeconds(baud));
    const double expected = 999 * CharSeconds(baud);
    EXPECT_NEAR(Seconds(last - first).count(), expected, 0.02 * expected + 0.005);
  }
}

// The driver's own bytes take their time too: the reply to a request of n
// bytes begins n character times plus the turnaround after the write, and
// the reply of m bytes ends m character times later.
TEST(Pacing, ARequestArrivesAtItsCharacterTimeBeforeTheReplyStarts) {
  struct Case {
    const char* what;
    const char* network;  // empty: the point-to-point station 0
    Bytes request;
    std::size_t reply;
  };
  const std::vector<Case> cases = {
      {"SNP attach", "", Attach(""), 24},
      {"SNPX read of 100 words", "01PLCA*\n", SnpxRequest("PLCA", 1, 8, 0, 100), 15 + 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plcsim::SimulatorOptions options = Paced(19200);
    if (*c.network != 0) options.stations = plcsim::ParseNetworkText(c.network);
    plcsim::Simulator sim(options);
    TimedPort port(sim.Path());
    if (c.request[1] == 'X') port.Write(SnpxBroadcastAttach());
    port.Read(1, nullptr, nullptr, Millis(100));  // the broadcast attach has no answer
    steady_clock::time_point first{}, last{};
    const auto sent = port.Write(c.request);
    ASSERT_EQ(port.Read(c.reply, &first, &last).size(), c.reply);
    const double c1 = CharSeconds(19200);
    const double start = c.request.size() * c1 + 0.005 + c1;  // the first reply byte is whole one character in
    const double end = (c.request.size() + c.reply) * c1 + 0.005;
    // Never early; late only by what a busy machine adds to a wake-up.
    EXPECT_GE(Seconds(first - sent).count(), start - 0.0005);
    EXPECT_LE(Seconds(first - sent).count(), start + 0.010);
    EXPECT_NEAR(Seconds(last - sent).count(), end, 0.010 + 0.02 * end);
  }
}

}  // namespace
}  // namespace simtest
