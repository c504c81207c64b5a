// Frame transfer primitives: every protocol exchange moves its bytes through
// these. Every send discards pending input first, so what is read after it
// arrived after it; every ACK or NAK sent stamps the time of last activity.
#pragma once

#include <cstdint>

struct DriverContext;

// ACK/NAK codes of SendAckNak.
constexpr int kAck = 0;
constexpr int kNakBcc = 2;       // 15 00: a reply whose BCC is wrong
constexpr int kNakUnused = 3;    // 15 01
constexpr int kNakSequence = 4;  // 15 02: a reply of the wrong kind

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kEtb = 0x17;
constexpr uint8_t kAckByte = 0x06;
constexpr uint8_t kNakByte = 0x15;

constexpr uint32_t kLineBreakMs = 20;

// 1 when all bytes were written, 0 otherwise.
int SendExact(DriverContext* context, const uint8_t* bytes, uint32_t count);
// 1 when exactly count bytes arrived within the port's read timeout.
int ReceiveExact(DriverContext* context, uint8_t* buffer, uint16_t count);
int SendLineBreak(DriverContext* context);
// Per byte: XOR into the accumulator, then rotate it left by one.
uint8_t ComputeBcc(const uint8_t* bytes, uint16_t count);
int SendAckNak(DriverContext* context, int code);
// True while the last ACK/NAK the driver sent lies less than windowMs back.
bool RecentlyActive(const DriverContext* context, uint32_t windowMs);

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void WriteLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}
