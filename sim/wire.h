// What the simulator's line and its two kinds of station share: the bytes of
// the wire (frame starts, message types, lengths, request codes) and the small
// helpers that read, build and describe frames. Only the engine's sources
// include it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/engine.h"

namespace plcsim {

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

inline uint16_t Le16(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline void PutLe16(std::vector<uint8_t>& bytes, std::size_t at, std::size_t value) {
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

inline std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The SNP ID bytes of a frame as text, up to the first NUL.
inline std::string IdText(std::span<const uint8_t> id) {
  std::string text;
  for (uint8_t c : id) {
    if (c == 0) break;
    text += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Format("\\x%02X", c);
  }
  return text;
}

inline std::string Access(uint8_t selector, unsigned index, unsigned length) {
  return SelectorName(selector) + Format(" idx %u len %u", index, length);
}

inline std::string StationName(const Station& station) {
  std::string name = Format("station %d", station.config.number);
  if (!station.config.snpId.empty()) name += " \"" + station.config.snpId + "\"";
  return name;
}

// The error a request for these units gets, 0 when it can be served.
inline uint8_t CheckAccess(const PlcMemory& memory, std::optional<Segment> segment, uint32_t index, uint32_t length) {
  if (!segment) return kMinorBadSelector;
  if (length == 0) return kMinorBadLength;
  if (!memory.Fits(*segment, index, length)) return kMinorOutOfRange;
  return 0;
}

}  // namespace plcsim
