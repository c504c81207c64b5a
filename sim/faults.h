// Misbehaviour a simulated station can be told to show, one set per station.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace plcsim {

// Passed as a count: the fault applies every time until it is cleared.
inline constexpr int kAlways = -1;

// How many more times a fault applies: 0 = off, kAlways = every time.
class Countdown {
 public:
  Countdown() = default;
  explicit Countdown(int count) : remaining_(count) {}
  // True when the fault applies this time; uses up one count.
  bool Take() {
    if (remaining_ == kAlways) return true;
    if (remaining_ > 0) {
      --remaining_;
      return true;
    }
    return false;
  }
  bool Active() const { return remaining_ != 0; }
  int Remaining() const { return remaining_; }

 private:
  int remaining_ = 0;
};

// A station that answers nothing and is never attached, as if unplugged:
// for good, or until it has ignored a number of requests addressed to it
// (SNP attaches with its SNP ID, SNPX requests with its SNP ID).
class Silence {
 public:
  Silence& operator=(bool on) {
    countdown_ = Countdown(on ? kAlways : 0);
    return *this;
  }
  // Silent for the next `count` requests addressed to the station.
  void For(int count) { countdown_ = Countdown(count); }
  operator bool() const { return countdown_.Active(); }
  // A request addressed to the station: true when it is ignored.
  bool Ignores() { return countdown_.Take(); }

 private:
  Countdown countdown_;
};

// Kinds of request an error fault answers with an error (a bit mask).
enum RequestKind : unsigned {
  kReadRequest = 1u << 0,            // SNP read, SNPX read
  kWriteRequest = 1u << 1,           // SNP write, SNPX write request frame
  kShortStatusRequest = 1u << 2,     // SNP PLC Short Status
  kChangePrivilegeRequest = 1u << 3, // SNP Change Privilege Level
  kSnpxWriteData = 1u << 4,          // the data frame of an SNPX long write
  kAnyRequest = kReadRequest | kWriteRequest | kShortStatusRequest | kChangePrivilegeRequest,
};

// "Reply" below means every frame a station sends except its two-byte ACK or
// NAK: attach responses, mailbox replies, text buffers and SNPX responses.
struct Faults {
  Silence silent;
  // The next replies carry a wrong BCC.
  Countdown badBcc;
  // The next SNP mailboxes or text buffers are answered with NAK 15 nakCode
  // instead of ACK and dropped (SNPX has no NAK).
  Countdown nak;
  uint8_t nakCode = 0x00;
  // The next requests of the given kinds are answered with an error nack
  // (SNP, 0xD1 with major and minor code) or a non-zero status (SNPX;
  // snpxStatus, or major | minor << 8 when snpxStatus is 0).
  Countdown error;
  uint8_t errorMajor = 0x04;
  uint8_t errorMinor = 0x01;
  uint16_t snpxStatus = 0;
  unsigned errorKinds = kAnyRequest;
  // The next replies are cut to truncateTo bytes (0: half their length).
  Countdown truncate;
  std::size_t truncateTo = 0;
  // The next text buffers carry another byte than 'T' at offset 1.
  Countdown textWithoutT;
  // The next SNP reads that need text buffers never end: every text buffer
  // announces another one.
  Countdown endlessText;
  // The next replies leave replyDelay later than the turnaround.
  Countdown delay;
  std::chrono::milliseconds replyDelay{0};
  // The next replies are preceded by noiseBytes random bytes.
  Countdown noise;
  std::size_t noiseBytes = 8;
  // Line corruption of the next replies, their check character left as it
  // was: flipBits random bits flipped; one byte lost; one random byte
  // added. A corruption that the receiver's check cannot see is counted in
  // the station's undetectedCorruptions.
  Countdown flip;
  int flipBits = 1;
  Countdown dropByte;
  Countdown insertByte;

  void Clear() { *this = Faults{}; }

  void CorruptBcc(int count = 1) { badBcc = Countdown(count); }
  void NakRequests(int count = 1, uint8_t code = 0x00) {
    nak = Countdown(count);
    nakCode = code;
  }
  void ErrorNack(uint8_t major, uint8_t minor, int count = kAlways, unsigned kinds = kAnyRequest) {
    error = Countdown(count);
    errorMajor = major;
    errorMinor = minor;
    snpxStatus = 0;
    errorKinds = kinds;
  }
  void ErrorStatus(uint16_t status, int count = kAlways, unsigned kinds = kAnyRequest) {
    error = Countdown(count);
    snpxStatus = status;
    errorMajor = static_cast<uint8_t>(status & 0xFF);
    errorMinor = static_cast<uint8_t>(status >> 8);
    errorKinds = kinds;
  }
  void Truncate(int count = 1, std::size_t keep = 0) {
    truncate = Countdown(count);
    truncateTo = keep;
  }
  void TextWithoutT(int count = 1) { textWithoutT = Countdown(count); }
  void EndlessText(int count = kAlways) { endlessText = Countdown(count); }
  void Delay(std::chrono::milliseconds by, int count = kAlways) {
    delay = Countdown(count);
    replyDelay = by;
  }
  void Noise(std::size_t bytes = 8, int count = 1) {
    noise = Countdown(count);
    noiseBytes = bytes;
  }
  void FlipBits(int bits = 1, int count = 1) {
    flip = Countdown(count);
    flipBits = bits;
  }
  void DropByte(int count = 1) { dropByte = Countdown(count); }
  void InsertByte(int count = 1) { insertByte = Countdown(count); }
};

}  // namespace plcsim
