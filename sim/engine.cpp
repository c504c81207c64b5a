// The simulated line: frames taken from the bytes the driver sends, the
// timers, and replies sent with their faults. The SNP station answers in
// engine_snp.cpp, the SNPX station in engine_snpx.cpp.
#include "sim/engine.h"

#include <algorithm>
#include <stdexcept>

#include "sim/bcc.h"
#include "sim/wire.h"

namespace plcsim {

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

}  // namespace plcsim
