#include "sim/engine.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/bcc.h"

namespace plcsim {
namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kEtb = 0x17;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

// Message types at byte 1 of a frame.
constexpr uint8_t kTypeAttach = 'A';
constexpr uint8_t kTypeAttachResponse = 'R';
constexpr uint8_t kTypeMailbox = 'M';
constexpr uint8_t kTypeText = 'T';
constexpr uint8_t kTypeSnpx = 'X';
// What a text buffer carries at byte 1 when told to leave out the 'T'.
constexpr uint8_t kTypeNotText = 'X';

constexpr std::size_t kAttachLength = 24;
constexpr std::size_t kMailboxLength = 40;
constexpr std::size_t kSnpxRequestLength = 24;
// ESC, type, then after the data ETB, next type, next length (2), 0, BCC.
constexpr std::size_t kTextOverhead = 8;
// Longest text buffer or data frame an announcement is believed for: the
// largest the driver sends is 1016 data bytes + 8.
constexpr std::size_t kMaxAnnounced = 4096;

// Mailbox types at byte 9.
constexpr uint8_t kMailboxRequest = 0xC0;          // no text buffer follows
constexpr uint8_t kMailboxRequestWithText = 0x80;  // a text buffer follows
constexpr uint8_t kReplyDone = 0xD4;
constexpr uint8_t kReplyDoneText = 0x94;  // the data follows in text buffers
constexpr uint8_t kReplyError = 0xD1;

// SNP request codes.
constexpr uint8_t kShortStatus = 0x00;
constexpr uint8_t kRead = 0x04;
constexpr uint8_t kWrite = 0x07;
constexpr uint8_t kChangePrivilege = 0x21;

// SNPX request codes.
constexpr uint8_t kSnpxAttach = 0;
constexpr uint8_t kSnpxRead = 1;
constexpr uint8_t kSnpxWrite = 2;

constexpr std::size_t kReplyDataOffset = 22;     // read data in a 0xD4 reply
constexpr std::size_t kReplyDataBytes = 6;       // bytes 22..27
constexpr std::size_t kMailboxWriteOffset = 26;  // write data in a 0xC0 request
constexpr std::size_t kMailboxWriteBytes = 8;    // bytes 26..33
constexpr std::size_t kSnpxShortOffset = 16;     // data of an SNPX short write
constexpr std::size_t kSnpxShortBytes = 2;
constexpr std::size_t kSnpxDataOffset = 9;  // data of an SNPX response

constexpr int kLowestPrivilege = 1;
constexpr int kHighestPrivilege = 4;

uint16_t Le16(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void PutLe16(std::vector<uint8_t>& bytes, std::size_t at, std::size_t value) {
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The SNP ID bytes of a frame as text, up to the first NUL.
std::string IdText(std::span<const uint8_t> id) {
  std::string text;
  for (uint8_t c : id) {
    if (c == 0) break;
    text += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Format("\\x%02X", c);
  }
  return text;
}

std::string Access(uint8_t selector, unsigned index, unsigned length) {
  return SelectorName(selector) + Format(" idx %u len %u", index, length);
}

std::string StationName(const Station& station) {
  std::string name = Format("station %d", station.config.number);
  if (!station.config.snpId.empty()) name += " \"" + station.config.snpId + "\"";
  return name;
}

std::string DescribeMailbox(std::span<const uint8_t> b) {
  if (b[9] == kMailboxRequest) {
    switch (b[20]) {
      case kShortStatus:
        return "SNP short status";
      case kChangePrivilege:
        return Format("SNP change privilege level %u", b[21]);
      case kRead:
        return "SNP read " + Access(b[21], Le16(b, 22), Le16(b, 24));
      case kWrite:
        return "SNP write " + Access(b[21], Le16(b, 22), Le16(b, 24)) + ", data in the mailbox";
      default:
        return Format("SNP request code 0x%02X", b[20]);
    }
  }
  if (b[9] == kMailboxRequestWithText) {
    std::string text = b[28] == kWrite ? "SNP write " : Format("SNP request code 0x%02X ", b[28]);
    return text + Access(b[29], Le16(b, 30), Le16(b, 32)) +
           Format(", %u bytes in a text buffer of %u", Le16(b, 20), Le16(b, 36));
  }
  return Format("SNP mailbox of type 0x%02X", b[9]);
}

std::string DescribeSnpx(std::span<const uint8_t> b) {
  const std::string id = "\"" + IdText(b.subspan(2, 8)) + "\"";
  switch (b[10]) {
    case kSnpxAttach:
      return "SNPX attach " + id;
    case kSnpxRead:
      return "SNPX read " + Access(b[11], Le16(b, 12), Le16(b, 14)) + " at " + id;
    case kSnpxWrite:
      return "SNPX write " + Access(b[11], Le16(b, 12), Le16(b, 14)) + " at " + id +
             (b[19] == kTypeText ? Format(", data frame of %u follows", Le16(b, 20)) : std::string(", short"));
    default:
      return Format("SNPX request code %u at ", b[10]) + id;
  }
}

// The error a request for these units gets, 0 when it can be served.
uint8_t CheckAccess(const PlcMemory& memory, std::optional<Segment> segment, uint32_t index, uint32_t length) {
  if (!segment) return kMinorBadSelector;
  if (length == 0) return kMinorBadLength;
  if (!memory.Fits(*segment, index, length)) return kMinorOutOfRange;
  return 0;
}

std::vector<uint8_t> MailboxReply(uint8_t type) {
  std::vector<uint8_t> reply(kMailboxLength, 0);
  reply[0] = kEsc;
  reply[1] = kTypeMailbox;
  reply[9] = type;
  reply[34] = kEtb;
  return reply;
}

void SealMailbox(std::vector<uint8_t>& frame) {
  frame[kMailboxLength - 1] = Bcc(std::span(frame).first(kMailboxLength - 1));
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += Format("%02X", b);
  }
  return text;
}

Engine::Engine(std::vector<StationConfig> stations, EngineConfig config)
    : config_(config), noise_(config.noiseSeed) {
  config_.textBufferData = std::clamp<std::size_t>(config_.textBufferData, 1, 1016);
  for (StationConfig& station : stations) {
    Station s{.config = station, .memory = PlcMemory(config_.sizes, config_.pattern), .faults = {}, .stats = {},
              .stream = {}, .write = {}};
    std::copy_n(station.snpId.begin(), std::min<std::size_t>(station.snpId.size(), s.id.size()), s.id.begin());
    stations_.push_back(std::move(s));
  }
}

Station* Engine::Find(int number) {
  for (Station& station : stations_) {
    if (station.config.number == number) return &station;
  }
  return nullptr;
}

Station& Engine::At(int number) {
  Station* station = Find(number);
  if (!station) throw std::out_of_range("plcsim: no station " + std::to_string(number));
  return *station;
}

void Engine::SetTrace(TraceSink sink, bool hex) {
  trace_ = std::move(sink);
  hex_ = hex;
}

void Engine::Trace(const std::string& line, std::span<const uint8_t> bytes) {
  if (!trace_) return;
  trace_(line);
  if (hex_ && !bytes.empty()) trace_("   " + HexBytes(bytes));
}

// ---------------------------------------------------------------------------
// Reception: the line is scanned for frames; bytes that start none are noise.

void Engine::Receive(std::span<const uint8_t> bytes, TimePoint now) {
  Advance(now);
  if (bytes.empty()) return;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  lastByte_ = now;
  Parse(now, false);
}

void Engine::Drop(std::size_t count) {
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
  garbage_ += count;
}

void Engine::FlushGarbage() {
  if (garbage_ == 0) return;
  Trace(Format("rx %zu bytes of noise skipped", garbage_));
  garbage_ = 0;
}

bool Engine::AwaitingAck() const {
  return std::any_of(stations_.begin(), stations_.end(),
                     [](const Station& s) { return s.awaiting == Awaiting::Ack && !s.faults.silent; });
}

bool Engine::CheckBcc(FrameType type, std::span<const uint8_t> frame) {
  switch (type) {
    case FrameType::Attach: {
      const uint8_t bcc = Bcc(frame.first(22));
      return frame[22] == HexDigit(bcc >> 4) && frame[23] == HexDigit(bcc);
    }
    case FrameType::AckNak:
      return true;
    default:
      return Bcc(frame.first(frame.size() - 1)) == frame.back();
  }
}

// Offset of the first frame start after offset 0 and before end, 0 if none.
std::size_t Engine::FrameStartWithin(std::size_t end) const {
  for (std::size_t p = 1; p < end && p + 1 < input_.size(); ++p) {
    if (input_[p] != kEsc) continue;
    const uint8_t type = input_[p + 1];
    if (type == kTypeAttach || type == kTypeMailbox || type == kTypeSnpx || (type == kTypeText && announced_ != 0)) {
      return p;
    }
  }
  return 0;
}

std::size_t Engine::FrameLength(std::size_t at) const {
  if (at + 1 >= input_.size() || input_[at] != kEsc) return 0;
  switch (input_[at + 1]) {
    case kTypeAttach:
      return kAttachLength;
    case kTypeMailbox:
      return kMailboxLength;
    case kTypeSnpx:
      return kSnpxRequestLength;
    case kTypeText:
      return announced_;
    default:
      return 0;
  }
}

std::size_t Engine::CompleteFrameAfterStart() const {
  for (std::size_t p = 1; p < input_.size(); ++p) {
    const std::size_t length = FrameLength(p);
    if (length == 0 || p + length > input_.size()) continue;
    const FrameType type = input_[p + 1] == kTypeAttach    ? FrameType::Attach
                           : input_[p + 1] == kTypeMailbox ? FrameType::Mailbox
                           : input_[p + 1] == kTypeSnpx    ? FrameType::Snpx
                                                           : FrameType::Text;
    if (CheckBcc(type, std::span(input_).subspan(p, length))) return p;
  }
  return 0;
}

void Engine::Parse(TimePoint now, bool stale) {
  while (!input_.empty()) {
    std::size_t length = 0;
    FrameType type = FrameType::AckNak;
    if (input_[0] == kEsc) {
      if (input_.size() < 2) {
        if (!stale) return;
        Drop(1);
        continue;
      }
      switch (input_[1]) {
        case kTypeAttach:
          type = FrameType::Attach;
          length = kAttachLength;
          break;
        case kTypeMailbox:
          type = FrameType::Mailbox;
          length = kMailboxLength;
          break;
        case kTypeSnpx:
          type = FrameType::Snpx;
          length = kSnpxRequestLength;
          break;
        case kTypeText:
          type = FrameType::Text;
          length = announced_;
          break;
        default:
          break;
      }
    } else if ((input_[0] == kAck || input_[0] == kNak) && AwaitingAck()) {
      length = 2;
    }
    if (length == 0) {
      Drop(1);
      continue;
    }
    if (input_.size() < length) {
      // A complete frame further on means this start was noise; otherwise
      // the rest may still be on its way.
      if (const std::size_t start = CompleteFrameAfterStart(); start != 0 || stale) {
        Drop(start != 0 ? start : 1);
        continue;
      }
      return;
    }
    const bool bccOk = CheckBcc(type, std::span(input_).first(length));
    if (!bccOk) {
      // A wrong BCC with a frame start inside: the first start was noise.
      if (const std::size_t start = FrameStartWithin(length)) {
        Drop(start);
        continue;
      }
    }
    Frame frame{type, std::vector<uint8_t>(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length)),
                bccOk};
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
    FlushGarbage();
    if (type != FrameType::AckNak) announced_ = 0;
    std::size_t announced = 0;
    if (bccOk && type == FrameType::Mailbox && frame.bytes[9] == kMailboxRequestWithText) {
      announced = Le16(frame.bytes, 36);
    } else if (bccOk && type == FrameType::Snpx && frame.bytes[19] == kTypeText) {
      announced = Le16(frame.bytes, 20);
    }
    if (announced > kTextOverhead && announced <= kMaxAnnounced) announced_ = announced;
    Dispatch(frame, now);
  }
  FlushGarbage();
}

void Engine::Dispatch(const Frame& frame, TimePoint now) {
  for (Station& station : stations_) {
    if (station.attached) station.lastTraffic = std::max(station.lastTraffic, now);
  }
  switch (frame.type) {
    case FrameType::Attach:
      OnAttach(frame, now);
      break;
    case FrameType::Mailbox:
      OnMailbox(frame, now);
      break;
    case FrameType::Text:
      OnText(frame, now);
      break;
    case FrameType::Snpx:
      OnSnpx(frame, now);
      break;
    case FrameType::AckNak:
      OnAckNak(frame, now);
      break;
  }
}

// ---------------------------------------------------------------------------
// Timers.

Duration Engine::FrameGap() const { return std::max(config_.frameGap, 4 * config_.charTime); }

void Engine::Advance(TimePoint now) {
  if (!input_.empty() && now - lastByte_ >= FrameGap()) Parse(now, true);
  for (Station& station : stations_) {
    if (station.awaiting != Awaiting::Nothing && now >= station.deadline) {
      ++station.stats.timeouts;
      Trace(StationName(station) + ": nothing came from the driver in time, exchange dropped");
      station.awaiting = Awaiting::Nothing;
      station.stream = {};
    }
    if (station.attached && station.config.protocol == Protocol::Snp && config_.idleTimeout > Duration::zero() &&
        now - station.lastTraffic >= config_.idleTimeout) {
      Trace(StationName(station) + ": attachment lapsed after a silent line");
      Detach(station);
    }
  }
}

std::optional<TimePoint> Engine::NextEvent() const {
  std::optional<TimePoint> next;
  const auto consider = [&next](TimePoint t) {
    if (!next || t < *next) next = t;
  };
  if (!queue_.empty()) consider(queue_.front().due);
  if (!input_.empty()) consider(lastByte_ + FrameGap());
  for (const Station& station : stations_) {
    if (station.awaiting != Awaiting::Nothing) consider(station.deadline);
    if (station.attached && station.config.protocol == Protocol::Snp && config_.idleTimeout > Duration::zero()) {
      consider(station.lastTraffic + config_.idleTimeout);
    }
  }
  return next;
}

std::vector<Transmission> Engine::TakeDue(TimePoint now) {
  std::vector<Transmission> due;
  auto end = queue_.begin();
  while (end != queue_.end() && end->due <= now) ++end;
  due.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(end));
  queue_.erase(queue_.begin(), end);
  for (const Transmission& t : due) {
    if (Station* station = Find(t.station)) {
      station->sentUntil =
          std::max(station->sentUntil, t.due + static_cast<Duration::rep>(t.bytes.size()) * config_.charTime);
      Trace("tx " + StationName(*station) + ": " + t.what, t.bytes);
    }
  }
  return due;
}

// ---------------------------------------------------------------------------
// Sending.

TimePoint Engine::Send(Station& station, TimePoint now, std::vector<uint8_t> bytes, SendKind kind,
                       std::string what) {
  if (station.faults.silent) return now;
  TimePoint due = std::max(now, station.freeAt) + config_.turnaround;
  Faults& faults = station.faults;
  if (kind != SendKind::Handshake) {
    if (faults.badBcc.Take()) {
      if (kind == SendKind::AttachResponse) {
        bytes[23] = bytes[23] == '0' ? '1' : '0';
      } else {
        bytes.back() ^= 0x01;
      }
      what += " [wrong BCC]";
    }
    if (faults.truncate.Take()) {
      const std::size_t keep =
          faults.truncateTo != 0 && faults.truncateTo < bytes.size() ? faults.truncateTo : bytes.size() / 2;
      bytes.resize(keep);
      what += Format(" [cut to %zu bytes]", keep);
    }
    if (faults.noise.Take()) {
      std::vector<uint8_t> noise(faults.noiseBytes);
      for (uint8_t& b : noise) b = static_cast<uint8_t>(noise_() & 0xFF);
      bytes.insert(bytes.begin(), noise.begin(), noise.end());
      what += Format(" [%zu noise bytes first]", noise.size());
    }
    Corrupt(station, kind, bytes, what);
    if (faults.delay.Take()) {
      due += faults.replyDelay;
      what += Format(" [delayed %lld ms]", static_cast<long long>(faults.replyDelay.count()));
    }
  }
  const TimePoint end = due + static_cast<Duration::rep>(bytes.size()) * config_.charTime;
  station.freeAt = end;
  station.lastTraffic = std::max(station.lastTraffic, end);
  Transmission t{due, std::move(bytes), station.config.number, std::move(what)};
  const auto at = std::upper_bound(queue_.begin(), queue_.end(), t.due,
                                   [](TimePoint due, const Transmission& other) { return due < other.due; });
  queue_.insert(at, std::move(t));
  return end;
}

void Engine::Corrupt(Station& station, SendKind kind, std::vector<uint8_t>& bytes, std::string& what) {
  Faults& faults = station.faults;
  const std::vector<uint8_t> original = bytes;
  if (!bytes.empty() && faults.flip.Take()) {
    for (int k = 0; k < faults.flipBits; ++k) bytes[noise_() % bytes.size()] ^= static_cast<uint8_t>(1u << (noise_() % 8));
    what += Format(" [%d bits flipped]", faults.flipBits);
  }
  if (bytes.size() > 1 && faults.dropByte.Take()) {
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(noise_() % bytes.size()));
    what += " [a byte lost]";
  }
  if (faults.insertByte.Take()) {
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(noise_() % (bytes.size() + 1)),
                 static_cast<uint8_t>(noise_() & 0xFF));
    what += " [a byte added]";
  }
  if (bytes == original) return;
  ++station.stats.corruptedReplies;
  if (PassesCheck(kind, original, bytes)) {
    ++station.stats.undetectedCorruptions;
    what += " [the check still holds]";
  }
}

// Whether a receiver that reads the reply as its kind announces it would
// take the corrupted bytes for a good frame that differs from the one sent.
bool Engine::PassesCheck(SendKind kind, std::span<const uint8_t> original, std::span<const uint8_t> bytes) {
  std::size_t checked = 0;  // bytes covered by the check, check included
  switch (kind) {
    case SendKind::AttachResponse: checked = 24; break;
    case SendKind::Mailbox: checked = 40; break;
    case SendKind::Text:
      checked = original.size();
      if (bytes.size() < 2 || bytes[1] != 'T') return false;  // a sequence error, seen as such
      break;
    case SendKind::SnpxResponse: {
      // The driver reads the header first and gives up on a wrong one.
      if (bytes.size() < 9 || bytes[0] != 0x1B || (bytes[1] != 'X' && bytes[1] != 'x')) return false;
      const uint16_t status = static_cast<uint16_t>(bytes[5] | bytes[6] << 8);
      const std::size_t n = status == 0 ? static_cast<std::size_t>(bytes[7] | bytes[8] << 8) : 0;
      checked = 15 + n;
      break;
    }
    case SendKind::Handshake: return false;
  }
  if (bytes.size() < checked || checked < 2) return false;
  if (original.size() >= checked && std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(checked),
                                               original.begin())) {
    return false;  // only bytes after the frame changed
  }
  const auto frame = bytes.first(checked);
  if (kind == SendKind::AttachResponse) {
    const uint8_t bcc = Bcc(frame.first(22));
    return frame[22] == HexDigit(bcc >> 4) && frame[23] == HexDigit(bcc & 15);
  }
  return Bcc(frame.first(checked - 1)) == frame[checked - 1];
}

void Engine::Handshake(Station& station, TimePoint now, bool ack, uint8_t code) {
  if (ack) {
    Send(station, now, {kAck, 0x00}, SendKind::Handshake, "ACK");
  } else {
    ++station.stats.naksSent;
    Send(station, now, {kNak, code}, SendKind::Handshake, Format("NAK %02X", code));
  }
}

void Engine::Await(Station& station, Awaiting what, TimePoint sentAt) {
  station.awaiting = what;
  station.deadline = sentAt + config_.replyTimeout;
}

void Engine::Cancel(Station& station) {
  const auto removed = std::remove_if(queue_.begin(), queue_.end(), [&station](const Transmission& t) {
    return t.station == station.config.number;
  });
  queue_.erase(removed, queue_.end());
  station.freeAt = station.sentUntil;
  station.awaiting = Awaiting::Nothing;
  station.stream = {};
}

// A new request from the driver means it has finished with, or given up on,
// every earlier exchange; replies still waiting to go out would only collide
// with the answer to the new request.
void Engine::CancelAll() {
  for (Station& station : stations_) Cancel(station);
}

void Engine::Detach(Station& station) {
  Cancel(station);
  station.attached = false;
}

bool Engine::ErrorFault(Station& station, unsigned kind) {
  return (station.faults.errorKinds & kind) != 0 && station.faults.error.Take();
}

void Engine::StampClock(Station& station, TimePoint now) {
  const auto ms = std::chrono::duration_cast<Millis>(now.time_since_epoch()).count();
  for (const Reference& word : config_.clockWords) {
    station.memory.SetWord(word.area, word.index, static_cast<uint16_t>(ms));
  }
}

void Engine::ErrorNack(Station& station, TimePoint now, uint8_t major, uint8_t minor, std::string& outcome) {
  std::vector<uint8_t> reply = MailboxReply(kReplyError);
  reply[20] = major;
  reply[21] = minor;
  SealMailbox(reply);
  ++station.stats.errors;
  const std::string what = Format("SNP error nack D1, major %02X minor %02X", major, minor);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
  outcome += ", " + what;
}

// ---------------------------------------------------------------------------
// SNP attach.

void Engine::OnAttach(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const std::string what = "rx SNP attach \"" + IdText(b.subspan(2, 7)) + "\"";
  if (!frame.bccOk) {
    Trace(what + " -> wrong BCC, ignored", b);
    return;
  }
  CancelAll();
  std::string answered;
  for (Station& station : stations_) {
    const bool match = station.config.protocol == Protocol::Snp &&
                       std::equal(station.id.begin(), station.id.begin() + 7, b.begin() + 2) &&
                       !station.faults.silent.Ignores();
    if (!match) {
      Detach(station);
      continue;
    }
    station.attached = true;
    station.privilege = config_.privilegeAfterAttach;
    station.lastTraffic = now;
    ++station.stats.snpAttaches;
    std::vector<uint8_t> response(kAttachLength, 0);
    response[0] = kEsc;
    response[1] = kTypeAttachResponse;
    std::copy_n(station.id.begin(), 7, response.begin() + 2);
    const char fixed[] = "0A000   ";
    std::copy_n(fixed, 8, response.begin() + 10);
    response[18] = kEtb;
    const uint8_t bcc = Bcc(std::span(response).first(22));
    response[22] = static_cast<uint8_t>(HexDigit(bcc >> 4));
    response[23] = static_cast<uint8_t>(HexDigit(bcc));
    Send(station, now, std::move(response), SendKind::AttachResponse, "SNP attach response");
    answered += (answered.empty() ? "" : ", ") + StationName(station);
  }
  Trace(what + " -> " + (answered.empty() ? "no station answers" : answered + " attached"), b);
}

// ---------------------------------------------------------------------------
// SNP mailboxes and text buffers.

void Engine::OnMailbox(const Frame& frame, TimePoint now) {
  const std::string what = "rx " + DescribeMailbox(frame.bytes);
  CancelAll();
  bool any = false;
  for (Station& station : stations_) {
    if (!station.attached || station.faults.silent || station.config.protocol != Protocol::Snp) continue;
    any = true;
    std::string outcome;
    if (!frame.bccOk) {
      ++station.stats.bccErrors;
      Handshake(station, now, false, 0x00);
      outcome = "wrong BCC, NAK";
    } else if (station.faults.nak.Take()) {
      Handshake(station, now, false, station.faults.nakCode);
      outcome = Format("NAK %02X (fault)", station.faults.nakCode);
    } else {
      OnMailboxRequest(station, frame, now, outcome);
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, frame.bytes);
  }
  if (!any) Trace(what + " -> no station attached", frame.bytes);
}

void Engine::OnMailboxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome) {
  const std::span<const uint8_t> b = frame.bytes;
  if (b[9] == kMailboxRequestWithText) {
    OnWriteAnnouncingText(station, b, now, outcome);
    return;
  }
  if (b[9] != kMailboxRequest) {
    Handshake(station, now, false, 0x02);
    outcome = "unknown mailbox type, NAK 02";
    return;
  }
  Handshake(station, now, true);
  outcome = "ACK";
  switch (b[20]) {
    case kShortStatus: OnShortStatus(station, now, outcome); return;
    case kChangePrivilege: OnChangePrivilege(station, b, now, outcome); return;
    case kRead: OnMailboxRead(station, b, now, outcome); return;
    case kWrite: OnMailboxWrite(station, b, now, outcome); return;
    default: ErrorNack(station, now, kMajorRequestError, kMinorUnknownRequest, outcome); return;
  }
}

// A write whose data follows in a text buffer: checked now, answered after the buffer.
void Engine::OnWriteAnnouncingText(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  Handshake(station, now, true);
  Station::PendingWrite& write = station.write;
  write = {};
  const std::optional<Segment> segment = DecodeSelector(b[29]);
  write.index = Le16(b, 30);
  write.length = Le16(b, 32);
  write.bytes = Le16(b, 20);
  uint8_t minor = b[28] != kWrite ? kMinorUnknownRequest : CheckAccess(station.memory, segment, write.index, write.length);
  if (minor == 0) {
    write.segment = *segment;
    if (PlcMemory::DataLength(*segment, write.index, write.length) != write.bytes ||
        Le16(b, 36) != write.bytes + kTextOverhead) {
      minor = kMinorBadLength;
    } else if (station.privilege < kWritePrivilege) {
      minor = kMinorPrivilege;
    }
  }
  write.major = kMajorRequestError;
  write.minor = minor;
  if (ErrorFault(station, kWriteRequest)) {
    write.major = faults.errorMajor;
    write.minor = faults.errorMinor;
  }
  Await(station, Awaiting::TextBuffer, station.freeAt);
  outcome = Format("ACK, awaiting a text buffer of %u bytes", Le16(b, 36));
}

void Engine::OnShortStatus(Station& station, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  if (ErrorFault(station, kShortStatusRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  ++station.stats.shortStatus;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  reply[kReplyDataOffset] = static_cast<uint8_t>(station.privilege);
  SealMailbox(reply);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4, status"));
  outcome += ", reply D4";
}

void Engine::OnChangePrivilege(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const int level = b[21];
  if (ErrorFault(station, kChangePrivilegeRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (level < kLowestPrivilege || level > kHighestPrivilege) {
    ErrorNack(station, now, kMajorRequestError, kMinorPrivilege, outcome);
    return;
  }
  ++station.stats.changePrivilege;
  station.privilege = level;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  SealMailbox(reply);
  Await(station, Awaiting::Ack,
        Send(station, now, std::move(reply), SendKind::Mailbox, Format("SNP reply D4, privilege %d", level)));
  outcome += ", reply D4";
}

void Engine::OnMailboxRead(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const std::optional<Segment> segment = DecodeSelector(b[21]);
  const uint32_t index = Le16(b, 22);
  const uint32_t length = Le16(b, 24);
  const uint8_t minor = CheckAccess(station.memory, segment, index, length);
  if (ErrorFault(station, kReadRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (minor != 0) {
    ErrorNack(station, now, kMajorRequestError, minor, outcome);
    return;
  }
  ++station.stats.reads;
  StampClock(station, now);
  std::vector<uint8_t> data = station.memory.Read(*segment, index, length);
  if (data.size() <= kReplyDataBytes) {
    std::vector<uint8_t> reply = MailboxReply(kReplyDone);
    std::copy(data.begin(), data.end(), reply.begin() + kReplyDataOffset);
    SealMailbox(reply);
    const std::string what = Format("SNP reply D4, %zu data bytes", data.size());
    Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
    outcome += Format(", reply D4 with %zu bytes", data.size());
    return;
  }
  // The data goes out in text buffers, each sent once the driver has
  // acknowledged the frame before it.
  Station::TextStream& stream = station.stream;
  stream.data = std::move(data);
  stream.offset = 0;
  stream.endless = station.faults.endlessText.Take();
  stream.next = std::min(config_.textBufferData, stream.data.size()) + kTextOverhead;
  std::vector<uint8_t> reply = MailboxReply(kReplyDoneText);
  reply[35] = kTypeText;
  PutLe16(reply, 36, stream.next);
  SealMailbox(reply);
  const std::string what = Format("SNP reply 94, text buffer of %zu follows", stream.next);
  outcome += Format(", reply 94, %zu bytes in text buffers", stream.data.size());
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
}

void Engine::OnMailboxWrite(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const std::optional<Segment> segment = DecodeSelector(b[21]);
  const uint32_t index = Le16(b, 22);
  const uint32_t length = Le16(b, 24);
  uint8_t minor = CheckAccess(station.memory, segment, index, length);
  if (minor == 0 && PlcMemory::DataLength(*segment, index, length) > kMailboxWriteBytes) minor = kMinorBadLength;
  if (minor == 0 && station.privilege < kWritePrivilege) minor = kMinorPrivilege;
  if (ErrorFault(station, kWriteRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (minor != 0) {
    ErrorNack(station, now, kMajorRequestError, minor, outcome);
    return;
  }
  const std::size_t n = PlcMemory::DataLength(*segment, index, length);
  station.memory.Write(*segment, index, length, b.subspan(kMailboxWriteOffset, n));
  ++station.stats.writes;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  SealMailbox(reply);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4"));
  outcome += Format(", %zu bytes written, reply D4", n);
}

void Engine::SendNextText(Station& station, TimePoint now) {
  Station::TextStream& stream = station.stream;
  const std::size_t length = stream.next;
  const std::size_t count = length - kTextOverhead;
  std::vector<uint8_t> text(length, 0);
  text[0] = kEsc;
  text[1] = kTypeText;
  for (std::size_t k = 0; k < count; ++k) {
    text[2 + k] = stream.data[(stream.offset + k) % stream.data.size()];
  }
  stream.offset += count;
  if (stream.offset >= stream.data.size() && stream.endless) stream.offset = 0;
  const std::size_t remaining = stream.data.size() - std::min(stream.offset, stream.data.size());
  stream.next = remaining == 0 ? 0 : std::min(config_.textBufferData, remaining) + kTextOverhead;
  text[length - 6] = kEtb;
  text[length - 5] = stream.next != 0 ? kTypeText : 0x00;
  PutLe16(text, length - 4, stream.next);
  std::string what = Format("text buffer of %zu bytes, %zu data, next %zu", length, count, stream.next);
  if (station.faults.textWithoutT.Take()) {
    text[1] = kTypeNotText;
    what += " [no 'T']";
  }
  text[length - 1] = Bcc(std::span(text).first(length - 1));
  Await(station, Awaiting::Ack, Send(station, now, std::move(text), SendKind::Text, what));
}

void Engine::OnText(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const std::size_t length = b.size();
  const std::size_t count = length - kTextOverhead;
  const bool snpxData = std::any_of(stations_.begin(), stations_.end(),
                                    [](const Station& s) { return s.awaiting == Awaiting::SnpxData; });
  const std::string what = Format(snpxData ? "rx SNPX data frame of %zu bytes" : "rx text buffer of %zu bytes", length);
  bool any = false;
  for (Station& station : stations_) {
    if (station.faults.silent) continue;
    std::string outcome;
    if (station.awaiting == Awaiting::TextBuffer) {
      any = true;
      station.awaiting = Awaiting::Nothing;
      const Station::PendingWrite write = station.write;
      if (!frame.bccOk) {
        ++station.stats.bccErrors;
        Handshake(station, now, false, 0x00);
        outcome = "wrong BCC, NAK";
      } else if (station.faults.nak.Take()) {
        Handshake(station, now, false, station.faults.nakCode);
        outcome = Format("NAK %02X (fault)", station.faults.nakCode);
      } else if (b[length - 6] != kEtb) {
        Handshake(station, now, false, 0x02);
        outcome = "no ETB after the data, NAK 02";
      } else {
        Handshake(station, now, true);
        outcome = "ACK";
        if (write.minor != 0) {
          ErrorNack(station, now, write.major, write.minor, outcome);
        } else {
          station.memory.Write(write.segment, write.index, write.length, b.subspan(2, count));
          ++station.stats.writes;
          std::vector<uint8_t> reply = MailboxReply(kReplyDone);
          SealMailbox(reply);
          Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4"));
          outcome += Format(", %zu bytes written, reply D4", count);
        }
      }
    } else if (station.awaiting == Awaiting::SnpxData) {
      any = true;
      station.awaiting = Awaiting::Nothing;
      const Station::PendingWrite write = station.write;
      if (!frame.bccOk) {
        ++station.stats.bccErrors;
        outcome = "wrong BCC, no answer";
      } else if (b[2 + count] != kEtb) {
        SnpxAnswer(station, now, static_cast<uint16_t>(kMajorRequestError | kMinorBadFrame << 8), {}, outcome);
      } else if (ErrorFault(station, kSnpxWriteData)) {
        const Faults& f = station.faults;
        SnpxAnswer(station, now, f.snpxStatus != 0 ? f.snpxStatus : static_cast<uint16_t>(f.errorMajor | f.errorMinor << 8),
                   {}, outcome);
      } else {
        station.memory.Write(write.segment, write.index, write.length, b.subspan(2, count));
        ++station.stats.writes;
        SnpxAnswer(station, now, 0, {}, outcome);
        outcome = Format("%zu bytes written, ", count) + outcome;
      }
    } else {
      continue;
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, b);
  }
  if (!any) Trace(what + " -> no station awaits one", b);
}

void Engine::OnAckNak(const Frame& frame, TimePoint now) {
  const bool ack = frame.bytes[0] == kAck && frame.bytes[1] == 0x00;
  const std::string what = ack ? "rx ACK" : Format("rx %02X %02X", frame.bytes[0], frame.bytes[1]);
  for (Station& station : stations_) {
    if (station.awaiting != Awaiting::Ack || station.faults.silent) continue;
    station.awaiting = Awaiting::Nothing;
    std::string outcome;
    if (ack) {
      ++station.stats.acksReceived;
      if (station.stream.next != 0) {
        SendNextText(station, now);
        outcome = "next text buffer";
      } else {
        station.stream = {};
        outcome = "exchange done";
      }
    } else {
      if (frame.bytes[0] == kNak) ++station.stats.naksReceived;
      Cancel(station);
      outcome = "exchange dropped";
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, frame.bytes);
  }
}

// ---------------------------------------------------------------------------
// SNPX.

void Engine::SnpxAnswer(Station& station, TimePoint now, uint16_t status, std::span<const uint8_t> data,
                        std::string& outcome) {
  const std::size_t n = status == 0 ? data.size() : 0;
  std::vector<uint8_t> response(15 + n, 0);
  response[0] = kEsc;
  response[1] = kTypeSnpx;
  PutLe16(response, 5, status);
  PutLe16(response, 7, n);
  std::copy_n(data.begin(), n, response.begin() + kSnpxDataOffset);
  response[kSnpxDataOffset + n] = kEtb;
  response[14 + n] = Bcc(std::span(response).first(14 + n));
  if (status != 0) ++station.stats.errors;
  const std::string what = Format("status 0x%04X, %zu bytes", status, n);
  Send(station, now, std::move(response), SendKind::SnpxResponse, "SNPX response " + what);
  outcome += what;
}

void Engine::OnSnpx(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const bool broadcast = std::all_of(b.begin() + 2, b.begin() + 10, [](uint8_t c) { return c == 0xFF; });
  const std::string what = "rx " + (broadcast && b[10] == kSnpxAttach ? std::string("SNPX broadcast attach") : DescribeSnpx(b));
  const auto addressed = [&b](const Station& s) {
    return s.config.protocol == Protocol::Snpx && std::equal(s.id.begin(), s.id.end(), b.begin() + 2);
  };
  if (!frame.bccOk) {
    for (Station& station : stations_) {
      if (addressed(station)) ++station.stats.bccErrors;
    }
    Trace(what + " -> wrong BCC, ignored", b);
    return;
  }
  CancelAll();
  if (broadcast) {
    if (b[10] != kSnpxAttach) {
      Trace(what + " -> broadcast, no answer", b);
      return;
    }
    std::string attached;
    for (Station& station : stations_) {
      if (station.faults.silent || station.config.protocol != Protocol::Snpx) {
        Detach(station);
        continue;
      }
      station.attached = true;
      ++station.stats.snpxAttaches;
      attached += (attached.empty() ? "" : ", ") + StationName(station);
    }
    Trace(what + " -> " + (attached.empty() ? "no SNPX station" : attached + " attached"), b);
    return;
  }
  bool any = false;
  for (Station& station : stations_) {
    if (!addressed(station) || station.faults.silent.Ignores()) continue;
    any = true;
    std::string outcome;
    OnSnpxRequest(station, frame, now, outcome);
    Trace(what + " -> " + StationName(station) + ": " + outcome, b);
  }
  if (!any) Trace(what + " -> no station with this SNP ID", b);
}

void Engine::OnSnpxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome) {
  const std::span<const uint8_t> b = frame.bytes;
  const Faults& faults = station.faults;
  const uint16_t faultStatus =
      faults.snpxStatus != 0 ? faults.snpxStatus : static_cast<uint16_t>(faults.errorMajor | faults.errorMinor << 8);
  const auto error = [](uint8_t minor) { return static_cast<uint16_t>(kMajorRequestError | minor << 8); };
  if (b[10] == kSnpxAttach) {
    for (Station& other : stations_) {
      if (&other != &station) Detach(other);
    }
    station.attached = true;
    ++station.stats.snpxAttaches;
    SnpxAnswer(station, now, 0, {}, outcome);
    return;
  }
  if (!station.attached) {
    outcome = "not attached, no answer";
    return;
  }
  const std::optional<Segment> segment = DecodeSelector(b[11]);
  const uint32_t index = Le16(b, 12);
  const uint32_t length = Le16(b, 14);
  uint8_t minor = CheckAccess(station.memory, segment, index, length);
  switch (b[10]) {
    case kSnpxRead: {
      if (ErrorFault(station, kReadRequest)) return SnpxAnswer(station, now, faultStatus, {}, outcome);
      if (minor != 0) return SnpxAnswer(station, now, error(minor), {}, outcome);
      ++station.stats.reads;
      StampClock(station, now);
      const std::vector<uint8_t> data = station.memory.Read(*segment, index, length);
      return SnpxAnswer(station, now, 0, data, outcome);
    }
    case kSnpxWrite: {
      const bool follows = b[19] == kTypeText;
      const std::size_t n = minor == 0 ? PlcMemory::DataLength(*segment, index, length) : 0;
      if (minor == 0 && (follows ? Le16(b, 20) != n + kTextOverhead : n > kSnpxShortBytes)) minor = kMinorBadLength;
      if (ErrorFault(station, kWriteRequest)) return SnpxAnswer(station, now, faultStatus, {}, outcome);
      if (minor != 0) return SnpxAnswer(station, now, error(minor), {}, outcome);
      if (follows) {
        station.write = {*segment, index, length, n, 0, 0, 0};
        SnpxAnswer(station, now, 0, {}, outcome);
        Await(station, Awaiting::SnpxData, station.freeAt);
        outcome += ", awaiting the data frame";
        return;
      }
      station.memory.Write(*segment, index, length, b.subspan(kSnpxShortOffset, n));
      ++station.stats.writes;
      outcome = Format("%zu bytes written, ", n);
      return SnpxAnswer(station, now, 0, {}, outcome);
    }
    default:
      return SnpxAnswer(station, now, error(kMinorUnknownRequest), {}, outcome);
  }
}

}  // namespace plcsim
