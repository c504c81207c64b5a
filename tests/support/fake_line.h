// A scripted serial line behind the driver's serial port layer, on the
// virtual clock.
//
// The test scripts the exchange as the wire shows it: "the driver writes
// these bytes" (Expect), then "the peer answers these bytes" (Reply). An
// answer is not readable at once: it arrives when the driver next reads or
// when time next passes (a sleep, a break), so the purge that follows a send
// does not lose it, while a purge after a pause does. A read that finds fewer
// bytes than it asks for costs the port's read timeout (two when some bytes
// came: the short read ends at its timeout, the next waits in vain) and fails
// with 7. Every operation is recorded with its virtual time.
//
// Without a script, a responder can play the peer instead: it sees each write
// as it happens and returns the peer's answer, which arrives like a scripted
// reply. The fuzz targets run the line this way, without GoogleTest.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "context/driver_context.h"
#include "serial/serial_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/virtual_clock.h"

using Bytes = std::vector<uint8_t>;

// Bytes from text as the wire shows them: "1B 4D 00*7 C0 'ABC'". Tokens are
// two hex digits, optionally followed by *count to repeat, or 'text' for the
// ASCII bytes of text (no blanks inside).
Bytes Hex(std::string_view text);
// "1B 4D 00 ..." for messages.
std::string ToHex(const Bytes& bytes);
Bytes operator+(Bytes left, const Bytes& right);

// The block check: per byte XOR, then rotate left by one. Written here apart
// from the driver's, so that the peer's frames do not lean on the code tested.
uint8_t Bcc(const Bytes& bytes);
Bytes WithBcc(Bytes bytes);

// Frames the peer sends.
namespace peer {
// 24 bytes: 22 bytes of anything, then their BCC as two upper-case hex digits.
Bytes SnpAttachResponse(const Bytes& body = Bytes(22, 0));
// The driver's attach request for an SNP ID slot (for flows that only need
// an attach to pass; the attach tests spell the bytes out).
Bytes SnpAttachRequest(const char* snpId);
// 40-byte mailbox reply: type at 9, major and minor error codes at 20 and 21,
// data from 22, first text buffer length at 36 and 37, BCC at 39.
Bytes MailboxReply(uint8_t type, const Bytes& data = {}, uint16_t textLength = 0, uint8_t major = 0,
                   uint8_t minor = 0);
// Text buffer: ESC 'T', the data, ETB, 0, next length, 0, BCC.
Bytes TextBuffer(const Bytes& data, uint16_t nextLength = 0, uint8_t first = 0x1B, uint8_t type = 'T');
// SNPX response: ESC, type, 3 bytes, status, length field, data, 5 bytes, BCC.
Bytes SnpxResponse(uint16_t status, const Bytes& data = {}, uint8_t type = 'X');
Bytes SnpxResponseWithLength(uint16_t status, uint16_t lengthField, const Bytes& data);
inline const Bytes kAck = {0x06, 0x00};
}  // namespace peer

class FakeLine {
 public:
  enum class Kind { kOpen, kClose, kTimeout, kPurge, kBreak, kWrite, kRead };
  struct Event {
    Kind kind;
    uint64_t at;        // virtual ms since the clock was made
    Bytes bytes;        // written, or received by a read
    int32_t value = 0;  // timeout set (ms), break duration, bytes asked by a read
  };

  static constexpr PortHandle kHandle = 0x51;

  explicit FakeLine(VirtualClock& clock);
  ~FakeLine();
  FakeLine(const FakeLine&) = delete;
  FakeLine& operator=(const FakeLine&) = delete;

  PortHandle Handle() const { return kHandle; }

  // The driver's next write must be exactly these bytes.
  FakeLine& Expect(const Bytes& bytes);
  FakeLine& Expect(std::string_view hex) { return Expect(Hex(hex)); }
  // The peer's answer to the write expected last.
  FakeLine& Reply(const Bytes& bytes);
  FakeLine& Reply(std::string_view hex) { return Reply(Hex(hex)); }
  // Bytes that already wait in the input.
  void Stale(const Bytes& bytes);
  // Writes fail (result 7) while set; they are still recorded and checked.
  void SetWriteFails(bool fails) { writeFails_ = fails; }

  // The peer's answer to each write, decided as the write happens; writes are
  // then not compared with a script.
  using Responder = std::function<Bytes(std::span<const uint8_t> written)>;
  void AnswerWith(Responder responder) { responder_ = std::move(responder); }
  // Off: no event is kept (long runs that never read the transcript).
  void KeepEvents(bool keep) { keepEvents_ = keep; }

  // Fails the test for every scripted write that did not happen. The
  // destructor calls it when the test did not.
  void VerifyDone();

  const std::vector<Event>& Events() const { return events_; }
  std::vector<Bytes> Writes() const;
  int Count(Kind kind) const;
  // The port's current read timeout in ms (1000 on a fresh port).
  uint32_t ReadTimeoutMs() const;
  // One line per event, for failure messages.
  std::string Transcript() const;

 private:
  struct Step {
    Bytes write;
    std::vector<Bytes> replies;
  };

  static FakeLine* Current();
  static int Open(const char* name, const LineSettings* line, uint16_t options, PortHandle* handle);
  static int Close(PortHandle handle);
  static int SetTimeout(PortHandle handle, int32_t value, int32_t* previous);
  static int Purge(PortHandle handle);
  static int Break(uint32_t durationMs, PortHandle handle);
  static int Write(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
  static int Read(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received);

  bool KnownPort(PortHandle handle, const char* operation);
  void Record(Kind kind, Bytes bytes = {}, int32_t value = 0);
  void DeliverPending();

  VirtualClock& clock_;
  std::deque<Step> script_;
  std::vector<Bytes> pending_;  // answered, not yet arrived
  std::deque<uint8_t> input_;   // arrived, waiting to be read
  std::map<PortHandle, uint32_t> timeoutsMs_;
  std::vector<Event> events_;
  int writesSeen_ = 0;
  bool writeFails_ = false;
  bool verified_ = false;
  bool keepEvents_ = true;
  Responder responder_;
};

// A board on the fake line: clock, line, captured log and a zeroed context
// whose port is the fake one, in the link state of a fresh load (no station
// attached, no activity), read timeout 1 s and attach wait 200 ms.
struct FakeBoard {
  VirtualClock clock;
  FakeLine line{clock};
  LogCapture log;
  DriverContext context{};

  explicit FakeBoard(uint32_t startTick = VirtualClock::kDefaultStartTick);
  void SnpStation(int station, const char* snpId);
  void SnpxStation(int station, const char* snpId);
  // As if the station had just been attached and acknowledged.
  void Attached(int station);
  std::vector<LogLine> TakeLog();
};
