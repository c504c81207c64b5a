#include "tests/support/fake_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

FakeLine* g_line = nullptr;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Rows of 16 bytes with their offset; a byte that differs from the other
// frame's byte at its offset is marked with '*' so the eye finds it.
std::string Dump(const Bytes& bytes, const Bytes& other) {
  std::ostringstream out;
  for (size_t row = 0; row < bytes.size() || row == 0; row += 16) {
    char label[16];
    std::snprintf(label, sizeof label, "  %4u: ", static_cast<unsigned>(row));
    out << label;
    for (size_t i = row; i < row + 16 && i < bytes.size(); ++i) {
      char cell[8];
      std::snprintf(cell, sizeof cell, "%02X%c", bytes[i], i >= other.size() || other[i] != bytes[i] ? '*' : ' ');
      out << cell;
    }
    out << "\n";
    if (bytes.empty()) break;
  }
  return out.str();
}

std::string Diff(const Bytes& expected, const Bytes& actual) {
  size_t first = 0;
  while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) ++first;
  std::ostringstream out;
  out << "lengths: expected " << expected.size() << ", written " << actual.size() << "; first difference at offset "
      << first << "\n expected:\n"
      << Dump(expected, actual) << " written:\n"
      << Dump(actual, expected);
  return out.str();
}

const char* KindName(FakeLine::Kind kind) {
  switch (kind) {
    case FakeLine::Kind::kOpen: return "open";
    case FakeLine::Kind::kClose: return "close";
    case FakeLine::Kind::kTimeout: return "timeout";
    case FakeLine::Kind::kPurge: return "purge";
    case FakeLine::Kind::kBreak: return "break";
    case FakeLine::Kind::kWrite: return "write";
    case FakeLine::Kind::kRead: return "read";
  }
  return "?";
}

}  // namespace

Bytes Hex(std::string_view text) {
  Bytes bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\n' || text[i] == ',') {
      ++i;
      continue;
    }
    if (text[i] == '\'') {
      const size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) {
        ADD_FAILURE() << "unterminated text in hex: " << text;
        return bytes;
      }
      bytes.insert(bytes.end(), text.begin() + static_cast<std::ptrdiff_t>(i + 1),
                   text.begin() + static_cast<std::ptrdiff_t>(end));
      i = end + 1;
      continue;
    }
    const int high = i + 1 < text.size() ? HexValue(text[i]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 1]) : -1;
    if (low < 0) {
      ADD_FAILURE() << "bad hex at offset " << i << ": " << text;
      return bytes;
    }
    i += 2;
    size_t repeat = 1;
    if (i < text.size() && text[i] == '*') {
      repeat = 0;
      for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) repeat = repeat * 10 + (text[i] - '0');
    }
    bytes.insert(bytes.end(), repeat, static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string ToHex(const Bytes& bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    char cell[4];
    std::snprintf(cell, sizeof cell, "%02X", b);
    if (!text.empty()) text += ' ';
    text += cell;
  }
  return text;
}

Bytes operator+(Bytes left, const Bytes& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

uint8_t Bcc(const Bytes& bytes) {
  unsigned bcc = 0;
  for (uint8_t b : bytes) {
    bcc ^= b;
    bcc = ((bcc << 1) | (bcc >> 7)) & 0xFF;
  }
  return static_cast<uint8_t>(bcc);
}

Bytes WithBcc(Bytes bytes) {
  const uint8_t bcc = Bcc(bytes);
  bytes.push_back(bcc);
  return bytes;
}

namespace peer {

namespace {
Bytes HexDigitsOfBcc(const Bytes& body) {
  const char* digits = "0123456789ABCDEF";
  const uint8_t bcc = Bcc(body);
  return {static_cast<uint8_t>(digits[bcc >> 4]), static_cast<uint8_t>(digits[bcc & 15])};
}

void PutLe16(Bytes& frame, size_t offset, uint16_t value) {
  frame[offset] = static_cast<uint8_t>(value & 0xFF);
  frame[offset + 1] = static_cast<uint8_t>(value >> 8);
}
}  // namespace

Bytes SnpAttachResponse(const Bytes& body) { return body + HexDigitsOfBcc(body); }

Bytes SnpAttachRequest(const char* snpId) {
  Bytes body = Hex("1B 41");
  const size_t length = std::min<size_t>(std::strlen(snpId), 7);
  for (size_t i = 0; i < 7; ++i) body.push_back(i < length ? static_cast<uint8_t>(snpId[i]) : 0);
  body = body + Hex("00 '0A000' 20 20 20 17 00 00 00");
  return body + HexDigitsOfBcc(body);
}

Bytes MailboxReply(uint8_t type, const Bytes& data, uint16_t textLength, uint8_t major, uint8_t minor) {
  Bytes frame(39, 0);
  frame[0] = 0x1B;
  frame[1] = 'M';
  frame[9] = type;
  frame[20] = major;
  frame[21] = minor;
  std::copy(data.begin(), data.end(), frame.begin() + 22);
  frame[34] = 0x17;
  PutLe16(frame, 36, textLength);
  return WithBcc(frame);
}

Bytes TextBuffer(const Bytes& data, uint16_t nextLength, uint8_t first, uint8_t type) {
  Bytes frame = Bytes{first, type} + data + Bytes{0x17, 0x00, 0x00, 0x00, 0x00};
  PutLe16(frame, frame.size() - 3, nextLength);
  return WithBcc(frame);
}

Bytes SnpxResponseWithLength(uint16_t status, uint16_t lengthField, const Bytes& data) {
  Bytes frame(9, 0);
  frame[0] = 0x1B;
  frame[1] = 'X';
  PutLe16(frame, 5, status);
  PutLe16(frame, 7, lengthField);
  return WithBcc(frame + data + Bytes(5, 0));
}

Bytes SnpxResponse(uint16_t status, const Bytes& data, uint8_t type) {
  Bytes frame = SnpxResponseWithLength(status, static_cast<uint16_t>(data.size()), data);
  frame[1] = type;
  frame.back() = Bcc(Bytes(frame.begin(), frame.end() - 1));
  return frame;
}

}  // namespace peer

FakeLine::FakeLine(VirtualClock& clock) : clock_(clock) {
  if (g_line != nullptr) ADD_FAILURE() << "two fake lines alive at once";
  g_line = this;
  static constexpr SerialBackend kBackend{&FakeLine::Open,  &FakeLine::Close, &FakeLine::SetTimeout,
                                          &FakeLine::Purge, &FakeLine::Break, &FakeLine::Write,
                                          &FakeLine::Read,  nullptr,          nullptr};
  SetSerialBackend(&kBackend);
  clock_.OnAdvance([this] { DeliverPending(); });
}

FakeLine::~FakeLine() {
  if (!verified_) VerifyDone();
  clock_.OnAdvance(nullptr);
  SetSerialBackend(nullptr);
  g_line = nullptr;
}

FakeLine& FakeLine::Expect(const Bytes& bytes) {
  script_.push_back(Step{bytes, {}});
  return *this;
}

FakeLine& FakeLine::Reply(const Bytes& bytes) {
  // An answer scripted before any write is waiting for the first read.
  if (script_.empty()) {
    pending_.push_back(bytes);
  } else {
    script_.back().replies.push_back(bytes);
  }
  return *this;
}

void FakeLine::Stale(const Bytes& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }

void FakeLine::VerifyDone() {
  verified_ = true;
  if (script_.empty()) return;
  std::ostringstream out;
  out << script_.size() << " scripted write(s) never happened; the next one:\n  " << ToHex(script_.front().write)
      << "\nline so far:\n"
      << Transcript();
  ADD_FAILURE() << out.str();
  script_.clear();
}

std::vector<Bytes> FakeLine::Writes() const {
  std::vector<Bytes> writes;
  for (const Event& event : events_) {
    if (event.kind == Kind::kWrite) writes.push_back(event.bytes);
  }
  return writes;
}

int FakeLine::Count(Kind kind) const {
  return static_cast<int>(std::count_if(events_.begin(), events_.end(), [kind](const Event& e) { return e.kind == kind; }));
}

uint32_t FakeLine::ReadTimeoutMs() const {
  const auto found = timeoutsMs_.find(kHandle);
  return found == timeoutsMs_.end() ? kInitialReadTimeoutMs : found->second;
}

std::string FakeLine::Transcript() const {
  std::ostringstream out;
  for (const Event& event : events_) {
    out << "  " << event.at << " ms " << KindName(event.kind);
    if (event.kind == Kind::kRead) out << " " << event.value << " ->";
    if (event.kind == Kind::kTimeout || event.kind == Kind::kBreak) out << " " << event.value;
    if (!event.bytes.empty()) out << " " << ToHex(event.bytes);
    out << "\n";
  }
  return out.str();
}

FakeLine* FakeLine::Current() { return g_line; }

bool FakeLine::KnownPort(PortHandle handle, const char* operation) {
  if (handle == kHandle) return true;
  ADD_FAILURE() << operation << " on port " << handle << ", not the fake line's";
  return false;
}

void FakeLine::Record(Kind kind, Bytes bytes, int32_t value) {
  events_.push_back(Event{kind, clock_.Elapsed(), std::move(bytes), value});
}

void FakeLine::DeliverPending() {
  for (const Bytes& reply : pending_) input_.insert(input_.end(), reply.begin(), reply.end());
  pending_.clear();
}

int FakeLine::Open(const char* name, const LineSettings*, uint16_t, PortHandle* handle) {
  FakeLine* line = Current();
  line->Record(Kind::kOpen, Bytes(name, name + std::strlen(name)));
  line->timeoutsMs_[kHandle] = kInitialReadTimeoutMs;
  *handle = kHandle;
  return kSerialOk;
}

int FakeLine::Close(PortHandle handle) {
  FakeLine* line = Current();
  if (!line->KnownPort(handle, "close")) return kSerialIoFailed;
  line->Record(Kind::kClose);
  return kSerialOk;
}

int FakeLine::SetTimeout(PortHandle handle, int32_t value, int32_t* previous) {
  FakeLine* line = Current();
  if (!line->KnownPort(handle, "set read timeout")) return kSerialIoFailed;
  *previous = static_cast<int32_t>(line->ReadTimeoutMs() / 10);
  line->timeoutsMs_[kHandle] = static_cast<uint32_t>(value) * 10;
  line->Record(Kind::kTimeout, {}, value * 10);
  return kSerialOk;
}

int FakeLine::Purge(PortHandle handle) {
  FakeLine* line = Current();
  if (!line->KnownPort(handle, "purge")) return 1;
  line->input_.clear();
  line->Record(Kind::kPurge);
  return 0;
}

int FakeLine::Break(uint32_t durationMs, PortHandle handle) {
  FakeLine* line = Current();
  if (!line->KnownPort(handle, "break")) return 0;
  line->Record(Kind::kBreak, {}, static_cast<int32_t>(durationMs));
  line->clock_.Advance(durationMs);
  return 0;
}

int FakeLine::Write(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  FakeLine* line = Current();
  if (!line->KnownPort(handle, "write")) return kSerialIoFailed;
  const Bytes actual(bytes, bytes + count);
  line->Record(Kind::kWrite, actual);
  ++line->writesSeen_;
  if (line->script_.empty()) {
    ADD_FAILURE() << "unscripted write #" << line->writesSeen_ << ": " << ToHex(actual) << "\nline so far:\n"
                  << line->Transcript();
  } else {
    Step step = std::move(line->script_.front());
    line->script_.pop_front();
    if (step.write != actual) {
      ADD_FAILURE() << "write #" << line->writesSeen_ << " differs from the script; "
                    << Diff(step.write, actual) << "line so far:\n"
                    << line->Transcript();
    }
    for (Bytes& reply : step.replies) line->pending_.push_back(std::move(reply));
  }
  if (line->writeFails_) return kSerialIoFailed;
  if (written != nullptr) *written = count;
  return kSerialOk;
}

int FakeLine::Read(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received) {
  FakeLine* line = Current();
  if (received != nullptr) *received = 0;
  if (!line->KnownPort(handle, "read")) return kSerialIoFailed;
  line->DeliverPending();
  const size_t got = std::min<size_t>(count, line->input_.size());
  Bytes bytes(line->input_.begin(), line->input_.begin() + static_cast<std::ptrdiff_t>(got));
  line->input_.erase(line->input_.begin(), line->input_.begin() + static_cast<std::ptrdiff_t>(got));
  std::copy(bytes.begin(), bytes.end(), buffer);
  if (received != nullptr) *received = static_cast<uint16_t>(got);
  line->Record(Kind::kRead, bytes, count);
  if (got == count) return kSerialOk;
  // A short read ends at its timeout; the read for the rest waits in vain.
  line->clock_.Advance(line->ReadTimeoutMs() * (got > 0 ? 2 : 1));
  return kSerialIoFailed;
}

FakeBoard::FakeBoard(uint32_t startTick) : clock(startTick) {
  context.port = line.Handle();
  context.readTimeout = 100;
  context.attachWait = 20;
  context.attachedStation = kNoStation;
}

void FakeBoard::SnpStation(int station, const char* snpId) {
  std::memset(context.snpIds[station], 0, kSnpIdSlotSize);
  std::memcpy(context.snpIds[station], snpId, std::strlen(snpId));
  context.snpxStation[station] = 0;
}

void FakeBoard::SnpxStation(int station, const char* snpId) {
  SnpStation(station, snpId);
  context.snpxStation[station] = 1;
}

void FakeBoard::Attached(int station) {
  context.attachedStation = station;
  context.snpxAttached = context.snpxStation[station] == 1 ? 1 : 0;
}

std::vector<LogLine> FakeBoard::TakeLog() {
  std::vector<LogLine> lines = log.Lines();
  log.Clear();
  return lines;
}
