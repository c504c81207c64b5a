// What the fuzz targets share: a board on the fake line whose peer is played
// by the fuzz input, the layout of the inputs, and the checks made after
// every request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "context/driver_context.h"
#include "driver/host_interface.h"

namespace kelfuzz {

// The stations of every board: 1 speaks SNP, 2 SNPX.
constexpr int kSnpStation = 1;
constexpr int kSnpxStation = 2;
inline constexpr const char* kSnpId = "PLCA";
inline constexpr const char* kSnpxId = "PLCB";

// Bytes taken from the front of an input; past its end every value is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Le16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t Le32() {
    const uint32_t low = Le16();
    return low | static_cast<uint32_t>(Le16()) << 16;
  }
  // At most count bytes.
  std::span<const uint8_t> Take(size_t count);
  size_t Left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The head of an exchange input: which tag the host reads or writes.
struct TagChoice {
  bool block = false;        // request 6 or 10 instead of 5 or 7
  uint8_t area = 0;          // index into "RLOFIQTMGABCD"
  uint32_t elementNumber = 0;  // 1-based, as the GAS spells it (0..99999)
  uint8_t bitDigit = 0;      // 0: none (blank), 1..16: hex digit 0..F
  uint8_t dataType = 0;
  uint16_t count = 0;        // block requests
  bool attached = false;     // the station was attached a moment ago
};
constexpr size_t kTagChoiceBytes = 10;
TagChoice ReadTagChoice(Input& input);
std::vector<uint8_t> EncodeTagChoice(const TagChoice& choice);

// The peer's answer to one write: a length (one byte below 0xF0, else 12 bits
// over two bytes), then that many bytes.
std::vector<uint8_t> EncodeReply(std::span<const uint8_t> reply);

// The GAS of a choice for a station, e.g. "01R00001" or "02M000171".
std::string GasOf(int station, const TagChoice& choice);

enum class Direction { kRead, kWrite };

// One exchange: the station's board parses the tag (request 3 or 4, as a
// host does), then reads or writes it while the rest of the input plays the
// PLC, write by write. Stops the process on a broken rule: a read that
// changes more than its value range (or anything when it fails), a write
// that changes the host's buffer, a changed TagRecord, a result other than
// 0, 1 or 2.
// With a peer given, the peer answers the writes instead of the input (the
// seed maker records real exchanges this way).
using Peer = std::function<std::vector<uint8_t>(std::span<const uint8_t> written)>;
// Returns the request's result, or -1 when the tag did not parse.
int32_t RunExchange(const uint8_t* data, size_t size, int station, Direction direction, const Peer* peer = nullptr);

// Where a request's values lie in the host's buffer, in words from data.
struct ValueRange {
  size_t first;
  size_t count;
};
ValueRange ValueRangeOf(const TagRecord& tag, bool block);

// Stops the run with a message; the fuzzer keeps the input.
[[noreturn]] void Broken(const std::string& what);

// Messages of the driver go nowhere (the fuzzer runs millions of requests).
void SilenceDriverLog();

}  // namespace kelfuzz
