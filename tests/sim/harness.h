// Driver-side helpers for the simulator tests: frames built as the driver
// builds them, and a line that runs the engine on a virtual clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/engine.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using plcsim::Millis;

// "1B 41 ..." (blanks optional) to bytes.
Bytes Hex(std::string_view text);
std::string ToHex(const Bytes& bytes);
Bytes Concat(std::initializer_list<Bytes> parts);

// Frames the driver sends.
Bytes Attach(std::string_view snpId);
Bytes Mailbox(uint8_t code, const Bytes& requestBytes);  // type C0, 13 request bytes at 21
Bytes ReadRequest(uint8_t selector, uint16_t index, uint16_t length);
Bytes WriteRequest(uint8_t selector, uint16_t index, uint16_t length, const Bytes& data);  // data <= 8
Bytes WriteWithText(uint8_t selector, uint16_t index, uint16_t length, std::size_t dataBytes);  // type 80
Bytes TextBuffer(const Bytes& data, uint8_t nextType = 0, uint16_t nextLength = 0);
Bytes ShortStatus();
Bytes ChangePrivilege(uint8_t level);
Bytes SnpxRequest(std::string_view snpId, uint8_t code, uint8_t selector, uint16_t index, uint16_t length,
                  const Bytes& shortData = {}, uint16_t dataFrameLength = 0);
Bytes SnpxBroadcastAttach();
Bytes SnpxData(const Bytes& data);
inline const Bytes kAck{0x06, 0x00};

// The parts of replies a test looks at.
struct SnpxResponse {
  bool ok = false;  // ESC 'X', complete, BCC right
  uint16_t status = 0;
  Bytes data;
};
SnpxResponse ParseSnpx(const Bytes& frame);
bool MailboxBccOk(const Bytes& frame);
bool TextBccOk(const Bytes& frame);
bool AttachBccOk(const Bytes& frame);

struct Sent {
  plcsim::TimePoint at;
  Bytes bytes;
  int station;
};

// The engine on a virtual clock. Send puts bytes on the line at the current
// time; Run advances the clock, handling every event on the way, and returns
// what the stations sent meanwhile.
class Line {
 public:
  explicit Line(std::vector<plcsim::StationConfig> stations = plcsim::PointToPoint(),
                plcsim::EngineConfig config = {});
  void Send(const Bytes& bytes);
  Bytes Run(Millis duration = Millis(100));
  std::vector<Sent> RunFrames(Millis duration = Millis(100));
  // Send, then Run.
  Bytes Exchange(const Bytes& bytes, Millis duration = Millis(100));
  plcsim::Station& Plc(int number) { return engine.At(number); }
  Millis Elapsed() const { return std::chrono::duration_cast<Millis>(now - start); }

  plcsim::Engine engine;
  plcsim::TimePoint start;
  plcsim::TimePoint now;
};

// Splits a byte stream into the frames the stations sent, by their timing.
Bytes Take(Bytes& stream, std::size_t count);

}  // namespace simtest
