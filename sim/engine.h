// The protocol engine of a simulated serial line: one or more PLC stations
// that hear every byte the driver sends, as on an RS-485 multi-drop network,
// and answer in SNP or SNPX. It does no input or output itself: bytes go in
// with the time they arrived, and the frames to send come out with the time
// they are due, so tests run it on a virtual clock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/memory.h"
#include "sim/network.h"

namespace plcsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;
using Millis = std::chrono::milliseconds;

// Error codes of this simulated PLC, in an SNP error nack (major at reply byte
// 20, minor at 21) and in an SNPX status word (major | minor << 8).
inline constexpr uint8_t kMajorRequestError = 0x04;
inline constexpr uint8_t kMinorUnknownRequest = 0x01;
inline constexpr uint8_t kMinorBadSelector = 0x02;
inline constexpr uint8_t kMinorOutOfRange = 0x03;
inline constexpr uint8_t kMinorBadLength = 0x04;
inline constexpr uint8_t kMinorPrivilege = 0x05;
inline constexpr uint8_t kMinorBadFrame = 0x06;

// A privilege level from 2 on allows writes; an attach grants this level.
inline constexpr int kWritePrivilege = 2;

struct EngineConfig {
  // Pause between the end of a received frame and the station's answer. The
  // driver discards its input right after sending an SNPX request, so an
  // answer must not come sooner.
  Duration turnaround = Millis(5);
  // How long a station waits for the driver's ACK or NAK of a frame it sent,
  // or for a text buffer or data frame announced to it, before it gives up.
  Duration replyTimeout = Millis(2000);
  // Silence after which an incomplete frame is dropped as noise.
  Duration frameGap = Millis(50);
  // An SNP attachment lapses after this long without a frame on the line;
  // zero keeps it for ever.
  Duration idleTimeout = Millis(10000);
  // Time one character takes on the line, zero when not paced; frames are
  // spaced by their length in it.
  Duration charTime = Duration::zero();
  // Data bytes per SNP text buffer of a read reply (1..1016).
  std::size_t textBufferData = 256;
  // Privilege level a station has right after an attach.
  int privilegeAfterAttach = kWritePrivilege;
  AreaSizes sizes = DefaultSizes();
  bool pattern = true;  // initial memory pattern; zero memory otherwise
  uint32_t noiseSeed = 1;
  // Words of a word area (R, AI, AQ) that show the station's clock: as a read
  // is served, each is set to the milliseconds of the monotonic clock modulo
  // 65536, so that a reader on the same machine can tell how old the data it
  // got is, however many hands passed it on.
  std::vector<Reference> clockWords;
};

// Counters of one station, for tests that check what the driver did.
struct StationStats {
  int snpAttaches = 0;       // SNP attach requests answered
  int snpxAttaches = 0;      // SNPX attaches seen (broadcast or addressed)
  int shortStatus = 0;       // Short Status requests answered
  int changePrivilege = 0;   // Change Privilege Level requests answered
  int reads = 0;             // read requests answered (SNP and SNPX)
  int writes = 0;            // write requests carried out
  int errors = 0;            // error nacks or error statuses sent
  int acksReceived = 0;      // ACKs of the driver
  int naksReceived = 0;      // NAKs of the driver
  int naksSent = 0;          // NAKs sent
  int bccErrors = 0;         // frames with a wrong BCC received
  int timeouts = 0;          // exchanges given up for lack of the driver's next frame
  int corruptedReplies = 0;       // replies changed by a flip, drop or insert fault
  int undetectedCorruptions = 0;  // of those, replies whose check still holds
};

// What a station waits for from the driver.
enum class Awaiting : uint8_t { Nothing, Ack, TextBuffer, SnpxData };

struct Station {
  StationConfig config;
  std::array<uint8_t, 8> id{};  // the SNP ID, NUL-padded
  PlcMemory memory;
  Faults faults;
  StationStats stats;

  bool attached = false;
  int privilege = 0;
  TimePoint lastTraffic{};

  // The exchange in progress.
  Awaiting awaiting = Awaiting::Nothing;
  TimePoint deadline{};
  TimePoint freeAt{};     // end of the last frame this station has scheduled
  TimePoint sentUntil{};  // end of the last frame taken for the line
  struct TextStream {
    std::vector<uint8_t> data;
    std::size_t offset = 0;
    std::size_t next = 0;  // length of the next text buffer, 0 when none
    bool endless = false;
  } stream;
  struct PendingWrite {
    Segment segment{};
    uint32_t index = 0;
    uint32_t length = 0;
    std::size_t bytes = 0;
    uint8_t minor = 0;  // error to report instead of writing, 0 for none
    uint8_t major = 0;
    uint16_t status = 0;
  } write;
};

// A frame due on the line.
struct Transmission {
  TimePoint due;
  std::vector<uint8_t> bytes;
  int station = -1;
  std::string what;
};

class Engine {
 public:
  using TraceSink = std::function<void(std::string_view line)>;

  explicit Engine(std::vector<StationConfig> stations = PointToPoint(), EngineConfig config = {});

  // Bytes heard on the line at now.
  void Receive(std::span<const uint8_t> bytes, TimePoint now);
  // Runs the timers (incomplete frames, waits of the stations, idle attachments).
  void Advance(TimePoint now);
  // The earliest time at which Advance or TakeDue has something to do.
  std::optional<TimePoint> NextEvent() const;
  // Removes and returns, in order, the frames due by now.
  std::vector<Transmission> TakeDue(TimePoint now);
  // Every frame not yet taken.
  const std::vector<Transmission>& Pending() const { return queue_; }

  Station* Find(int number);
  Station& At(int number);  // throws std::out_of_range
  std::vector<Station>& Stations() { return stations_; }
  const EngineConfig& Config() const { return config_; }

  // One line per frame in either direction; with hex, the frame's bytes follow
  // on a second line.
  void SetTrace(TraceSink sink, bool hex = false);

 private:
  enum class FrameType : uint8_t { Attach, Mailbox, Text, Snpx, AckNak };
  struct Frame {
    FrameType type;
    std::vector<uint8_t> bytes;
    bool bccOk;
  };
  enum class SendKind : uint8_t { Handshake, AttachResponse, Mailbox, Text, SnpxResponse };

  void Parse(TimePoint now, bool stale);
  void Drop(std::size_t count);
  void FlushGarbage();
  bool AwaitingAck() const;
  Duration FrameGap() const;
  static bool CheckBcc(FrameType type, std::span<const uint8_t> frame);
  std::size_t FrameStartWithin(std::size_t end) const;
  std::size_t FrameLength(std::size_t at) const;
  std::size_t CompleteFrameAfterStart() const;
  void Dispatch(const Frame& frame, TimePoint now);

  void OnAttach(const Frame& frame, TimePoint now);
  void OnMailbox(const Frame& frame, TimePoint now);
  void OnMailboxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome);
  // One handler per kind of mailbox request, after the ACK of the request
  // (the write announcing a text buffer sends its own).
  void OnWriteAnnouncingText(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome);
  void OnShortStatus(Station& station, TimePoint now, std::string& outcome);
  void OnChangePrivilege(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome);
  void OnMailboxRead(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome);
  void OnMailboxWrite(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome);
  void OnText(const Frame& frame, TimePoint now);
  void OnAckNak(const Frame& frame, TimePoint now);
  void OnSnpx(const Frame& frame, TimePoint now);
  void OnSnpxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome);

  // Schedules a frame of a station a turnaround after the later of now and
  // the end of its previous frame, with the station's reply faults applied.
  // Returns the time at which the frame has left.
  TimePoint Send(Station& station, TimePoint now, std::vector<uint8_t> bytes, SendKind kind, std::string what);
  // Applies the station's flip, drop and insert faults to a reply.
  void Corrupt(Station& station, SendKind kind, std::vector<uint8_t>& bytes, std::string& what);
  static bool PassesCheck(SendKind kind, std::span<const uint8_t> original, std::span<const uint8_t> bytes);
  void Handshake(Station& station, TimePoint now, bool ack, uint8_t code = 0x00);
  void ErrorNack(Station& station, TimePoint now, uint8_t major, uint8_t minor, std::string& outcome);
  void SendNextText(Station& station, TimePoint now);
  void SnpxAnswer(Station& station, TimePoint now, uint16_t status, std::span<const uint8_t> data,
                  std::string& outcome);
  void Await(Station& station, Awaiting what, TimePoint sentAt);
  void Cancel(Station& station);
  void CancelAll();
  void Detach(Station& station);
  bool ErrorFault(Station& station, unsigned kind);
  void StampClock(Station& station, TimePoint now);

  void Trace(const std::string& line, std::span<const uint8_t> bytes = {});

  EngineConfig config_;
  std::vector<Station> stations_;
  std::vector<Transmission> queue_;
  std::vector<uint8_t> input_;
  TimePoint lastByte_{};
  std::size_t garbage_ = 0;
  std::size_t announced_ = 0;  // length of the text buffer or data frame announced last
  std::mt19937 noise_;
  TraceSink trace_;
  bool hex_ = false;
};

// "1B 41 41 ..." for traces and test messages.
std::string HexBytes(std::span<const uint8_t> bytes);

}  // namespace plcsim
