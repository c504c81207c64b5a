#include "tests/sim/harness.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/bcc.h"

namespace simtest {
namespace {

void Put16(Bytes& bytes, std::size_t at, unsigned value) {
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

uint8_t BccOf(const Bytes& bytes, std::size_t count) {
  return plcsim::Bcc(std::span(bytes).first(count));
}

Bytes MailboxFrame(uint8_t type) {
  Bytes frame(40, 0);
  frame[0] = 0x1B;
  frame[1] = 'M';
  frame[9] = type;
  frame[10] = 0x10;
  frame[11] = 0x3A;
  frame[14] = 0x10;
  frame[15] = 0x0A;
  frame[34] = 0x17;
  return frame;
}

}  // namespace

Bytes Hex(std::string_view text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\n') continue;
    digits += c;
    if (digits.size() == 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  if (!digits.empty()) throw std::invalid_argument("odd number of hex digits");
  return bytes;
}

std::string ToHex(const Bytes& bytes) { return plcsim::HexBytes(bytes); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Attach(std::string_view snpId) {
  Bytes frame(24, 0);
  frame[0] = 0x1B;
  frame[1] = 'A';
  for (std::size_t k = 0; k < 7 && k < snpId.size(); ++k) frame[2 + k] = static_cast<uint8_t>(snpId[k]);
  const char fixed[] = "0A000   ";
  std::copy_n(fixed, 8, frame.begin() + 10);
  frame[18] = 0x17;
  const uint8_t bcc = BccOf(frame, 22);
  frame[22] = static_cast<uint8_t>(plcsim::HexDigit(bcc >> 4));
  frame[23] = static_cast<uint8_t>(plcsim::HexDigit(bcc));
  return frame;
}

Bytes Mailbox(uint8_t code, const Bytes& requestBytes) {
  Bytes frame = MailboxFrame(0xC0);
  frame[18] = 0x01;
  frame[19] = 0x01;
  frame[20] = code;
  std::copy_n(requestBytes.begin(), std::min<std::size_t>(13, requestBytes.size()), frame.begin() + 21);
  frame[39] = BccOf(frame, 39);
  return frame;
}

Bytes ReadRequest(uint8_t selector, uint16_t index, uint16_t length) {
  Bytes request(13, 0);
  request[0] = selector;
  Put16(request, 1, index);
  Put16(request, 3, length);
  return Mailbox(0x04, request);
}

Bytes WriteRequest(uint8_t selector, uint16_t index, uint16_t length, const Bytes& data) {
  Bytes request(13, 0);
  request[0] = selector;
  Put16(request, 1, index);
  Put16(request, 3, length);
  std::copy_n(data.begin(), std::min<std::size_t>(8, data.size()), request.begin() + 5);
  return Mailbox(0x07, request);
}

Bytes WriteWithText(uint8_t selector, uint16_t index, uint16_t length, std::size_t dataBytes) {
  Bytes frame = MailboxFrame(0x80);
  frame[19] = 0x01;
  Put16(frame, 20, static_cast<unsigned>(dataBytes));
  frame[26] = 0x01;
  frame[27] = 0x01;
  frame[28] = 0x07;
  frame[29] = selector;
  Put16(frame, 30, index);
  Put16(frame, 32, length);
  frame[35] = 'T';
  Put16(frame, 36, static_cast<unsigned>(dataBytes + 8));
  frame[39] = BccOf(frame, 39);
  return frame;
}

Bytes TextBuffer(const Bytes& data, uint8_t nextType, uint16_t nextLength) {
  Bytes frame{0x1B, 'T'};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(0x17);
  frame.push_back(nextType);
  frame.push_back(static_cast<uint8_t>(nextLength & 0xFF));
  frame.push_back(static_cast<uint8_t>(nextLength >> 8));
  frame.push_back(0x00);
  frame.push_back(BccOf(frame, frame.size()));
  return frame;
}

Bytes ShortStatus() {
  Bytes frame = MailboxFrame(0xC0);
  frame[16] = 0x00;
  frame[15] = 0x3E;
  frame[18] = 0x01;
  frame[19] = 0x01;
  frame[20] = 0x00;
  frame[26] = 0xE8;
  frame[27] = 0x03;
  frame[28] = 0x01;
  frame[39] = BccOf(frame, 39);
  return frame;
}

Bytes ChangePrivilege(uint8_t level) {
  Bytes request(13, 0);
  request[0] = level;
  return Mailbox(0x21, request);
}

Bytes SnpxRequest(std::string_view snpId, uint8_t code, uint8_t selector, uint16_t index, uint16_t length,
                  const Bytes& shortData, uint16_t dataFrameLength) {
  Bytes frame(24, 0);
  frame[0] = 0x1B;
  frame[1] = 'X';
  for (std::size_t k = 0; k < 8 && k < snpId.size(); ++k) frame[2 + k] = static_cast<uint8_t>(snpId[k]);
  frame[10] = code;
  frame[11] = selector;
  Put16(frame, 12, index);
  Put16(frame, 14, length);
  std::copy_n(shortData.begin(), std::min<std::size_t>(2, shortData.size()), frame.begin() + 16);
  frame[18] = 0x17;
  if (dataFrameLength != 0) {
    frame[19] = 'T';
    Put16(frame, 20, dataFrameLength);
  }
  frame[23] = BccOf(frame, 23);
  return frame;
}

Bytes SnpxBroadcastAttach() {
  return Hex("1B 58 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 17 00 00 00 00 79");
}

Bytes SnpxData(const Bytes& data) {
  Bytes frame{0x1B, 'T'};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.insert(frame.end(), {0x17, 0, 0, 0, 0});
  frame.push_back(BccOf(frame, frame.size()));
  return frame;
}

SnpxResponse ParseSnpx(const Bytes& frame) {
  SnpxResponse response;
  if (frame.size() < 15 || frame[0] != 0x1B || (frame[1] != 'X' && frame[1] != 'x')) return response;
  response.status = static_cast<uint16_t>(frame[5] | frame[6] << 8);
  const std::size_t n = response.status == 0 ? static_cast<std::size_t>(frame[7] | frame[8] << 8) : 0;
  if (frame.size() != 15 + n) return response;
  response.data.assign(frame.begin() + 9, frame.begin() + 9 + static_cast<std::ptrdiff_t>(n));
  response.ok = BccOf(frame, 14 + n) == frame[14 + n];
  return response;
}

bool MailboxBccOk(const Bytes& frame) { return frame.size() == 40 && BccOf(frame, 39) == frame[39]; }

bool TextBccOk(const Bytes& frame) {
  return frame.size() >= 8 && BccOf(frame, frame.size() - 1) == frame.back();
}

bool AttachBccOk(const Bytes& frame) {
  if (frame.size() != 24) return false;
  const uint8_t bcc = BccOf(frame, 22);
  return frame[22] == plcsim::HexDigit(bcc >> 4) && frame[23] == plcsim::HexDigit(bcc);
}

Line::Line(std::vector<plcsim::StationConfig> stations, plcsim::EngineConfig config)
    : engine(std::move(stations), config), start(plcsim::Clock::time_point(std::chrono::hours(1))), now(start) {}

void Line::Send(const Bytes& bytes) { engine.Receive(bytes, now); }

std::vector<Sent> Line::RunFrames(Millis duration) {
  std::vector<Sent> sent;
  const plcsim::TimePoint end = now + duration;
  for (;;) {
    const auto next = engine.NextEvent();
    const plcsim::TimePoint at = next && *next <= end ? std::max(now, *next) : end;
    now = at;
    engine.Advance(now);
    for (plcsim::Transmission& t : engine.TakeDue(now)) sent.push_back({t.due, std::move(t.bytes), t.station});
    if (at == end) break;
  }
  return sent;
}

Bytes Line::Run(Millis duration) {
  Bytes all;
  for (const Sent& s : RunFrames(duration)) all.insert(all.end(), s.bytes.begin(), s.bytes.end());
  return all;
}

Bytes Line::Exchange(const Bytes& bytes, Millis duration) {
  Send(bytes);
  return Run(duration);
}

Bytes Take(Bytes& stream, std::size_t count) {
  count = std::min(count, stream.size());
  Bytes head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(count));
  stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(count));
  return head;
}

}  // namespace simtest
