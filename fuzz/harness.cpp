#include "fuzz/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_api/kalvro.h"
#include "tests/support/fake_line.h"
#include "tests/support/test_fault.h"
#include "tests/support/virtual_clock.h"

// The test support code reports a broken expectation through this; under the
// fuzzer it is a finding like any other.
void ReportTestFault(const std::string& message) { kelfuzz::Broken(message); }

namespace kelfuzz {

namespace {

constexpr char kAreaLetters[] = "RLOFIQTMGABCD";
constexpr size_t kGuardWords = 16;
constexpr uint16_t kGuard = 0xA55A;

void Quiet(void*, int, const char*) {}

// A board as a host has it after loading with the network file
// "01PLCA" / "02PLCB*": the fake line is its port.
struct Board {
  VirtualClock clock;
  FakeLine line{clock};
  DriverContext context{};

  explicit Board(bool attached, int station) {
    line.KeepEvents(false);
    context.port = line.Handle();
    context.readTimeout = 100;
    context.attachWait = 20;
    context.attachedStation = kNoStation;
    std::memcpy(context.snpIds[kSnpStation], kSnpId, std::strlen(kSnpId));
    std::memcpy(context.snpIds[kSnpxStation], kSnpxId, std::strlen(kSnpxId));
    context.snpxStation[kSnpxStation] = 1;
    if (attached) {
      // As right after an exchange: attached, the last ACK a moment ago.
      context.attachedStation = station;
      context.snpxAttached = context.snpxStation[station];
      context.lastAckTick = clock.Tick();
      clock.Advance(10);
    }
  }
};

}  // namespace

std::span<const uint8_t> Input::Take(size_t count) {
  const size_t n = std::min(count, size_ - pos_);
  std::span<const uint8_t> bytes(data_ + pos_, n);
  pos_ += n;
  return bytes;
}

TagChoice ReadTagChoice(Input& input) {
  TagChoice choice;
  const uint8_t flags = input.Byte();
  choice.block = (flags & 1) != 0;
  choice.attached = (flags & 2) != 0;
  choice.area = static_cast<uint8_t>(input.Byte() % (sizeof kAreaLetters - 1));
  const uint32_t low = input.Le16();
  choice.elementNumber = (low | static_cast<uint32_t>(input.Byte()) << 16) % 100000;
  choice.bitDigit = static_cast<uint8_t>(input.Byte() % 17);
  choice.dataType = input.Byte();
  choice.count = input.Le16();
  input.Byte();  // reserved
  return choice;
}

std::vector<uint8_t> EncodeTagChoice(const TagChoice& choice) {
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>((choice.block ? 1 : 0) | (choice.attached ? 2 : 0)));
  bytes.push_back(choice.area);
  bytes.push_back(static_cast<uint8_t>(choice.elementNumber & 0xFF));
  bytes.push_back(static_cast<uint8_t>(choice.elementNumber >> 8 & 0xFF));
  bytes.push_back(static_cast<uint8_t>(choice.elementNumber >> 16 & 0xFF));
  bytes.push_back(choice.bitDigit);
  bytes.push_back(choice.dataType);
  bytes.push_back(static_cast<uint8_t>(choice.count & 0xFF));
  bytes.push_back(static_cast<uint8_t>(choice.count >> 8));
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> EncodeReply(std::span<const uint8_t> reply) {
  std::vector<uint8_t> bytes;
  const size_t n = std::min<size_t>(reply.size(), 0xFFF);
  if (n < 0xF0) {
    bytes.push_back(static_cast<uint8_t>(n));
  } else {
    bytes.push_back(static_cast<uint8_t>(0xF0 | n >> 8));
    bytes.push_back(static_cast<uint8_t>(n & 0xFF));
  }
  bytes.insert(bytes.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(n));
  return bytes;
}

std::string GasOf(int station, const TagChoice& choice) {
  char gas[16];
  const char bit = choice.bitDigit == 0 ? '\0' : "0123456789ABCDEF"[choice.bitDigit - 1];
  std::snprintf(gas, sizeof gas, "%02d%c%05u", station, kAreaLetters[choice.area],
                static_cast<unsigned>(choice.elementNumber));
  std::string text = gas;
  if (bit != '\0') text += bit;
  return text;
}

ValueRange ValueRangeOf(const TagRecord& tag, bool block) {
  if (!block) {
    if (tag.bit == kNoBit && tag.width == 32) return {0, 2};
    return {1, 1};
  }
  const size_t count = tag.count > 0 ? static_cast<size_t>(tag.count) : 0;
  return {0, tag.area == 'F' ? 2 * count : count};
}

void Broken(const std::string& what) {
  std::fprintf(stderr, "broken rule: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void SilenceDriverLog() { KalSetErrSink(&Quiet, nullptr); }

int32_t RunExchange(const uint8_t* data, size_t size, int station, Direction direction, const Peer* peer) {
  Input input(data, size);
  const TagChoice choice = ReadTagChoice(input);
  Board board(choice.attached, station);

  // The host parses the tag first and keeps what the parse returned.
  const std::string gas = GasOf(station, choice);
  ParseRecord parse{};
  parse.gas = gas.c_str();
  parse.dataType = choice.dataType;
  parse.count = choice.count;
  KelRequest request{&board.context, choice.block ? kRequestParseBlockAddress : kRequestParseAddress, 1, 0, &parse};
  if (KelMain(&request) != 0) return -1;

  TagRecord tag = TagRecordFor(parse, choice.count);
  tag.gas = gas.c_str();

  // The host's buffer: guard words, the request's values, and for a read
  // guard words after them; a write's values end the allocation, so that a
  // read past them is caught by the address sanitizer.
  const ValueRange range = ValueRangeOf(tag, choice.block);
  const size_t valueWords = std::max<size_t>(range.first + range.count, 2);
  const size_t after = direction == Direction::kRead ? kGuardWords : 0;
  std::vector<uint16_t> buffer(kGuardWords + valueWords + after, kGuard);
  for (size_t i = 0; i < valueWords; ++i) buffer[kGuardWords + i] = static_cast<uint16_t>(0x1111 * (i % 15 + 1));
  tag.data = buffer.data() + kGuardWords;
  const std::vector<uint16_t> before = buffer;
  TagRecord tagBefore;
  std::memcpy(&tagBefore, &tag, sizeof tag);

  if (peer != nullptr) {
    board.line.AnswerWith(*peer);
  } else {
    board.line.AnswerWith([&input](std::span<const uint8_t>) {
      const uint8_t head = input.Byte();
      size_t length = head;
      if (head >= 0xF0) length = static_cast<size_t>(head & 0x0F) << 8 | input.Byte();
      const std::span<const uint8_t> reply = input.Take(length);
      return Bytes(reply.begin(), reply.end());
    });
  }

  uint32_t code = 0;
  if (direction == Direction::kRead) {
    code = choice.block ? kRequestReadBlock : kRequestReadSingle;
  } else {
    code = choice.block ? kRequestWriteBlock : kRequestWriteSingle;
  }
  request = KelRequest{&board.context, code, 1, 0, &tag};
  const int32_t result = KelMain(&request);

  if (result < 0 || result > 2) Broken("result " + std::to_string(result) + " for " + gas);
  if (std::memcmp(&tag, &tagBefore, sizeof tag) != 0) Broken("the TagRecord changed: " + gas);
  for (size_t i = 0; i < buffer.size(); ++i) {
    if (buffer[i] == before[i]) continue;
    const bool inRange = i >= kGuardWords + range.first && i < kGuardWords + range.first + range.count;
    if (direction == Direction::kWrite) Broken("a write changed the host's buffer: " + gas);
    if (result != 0) Broken("a failed read changed the host's buffer: " + gas);
    if (!inRange) {
      Broken("a read changed word " + std::to_string(static_cast<long>(i) - static_cast<long>(kGuardWords)) +
             " outside its values: " + gas);
    }
  }
  // A bit read gives 0 or 1.
  if (direction == Direction::kRead && result == 0 && tag.bit != kNoBit && !choice.block && tag.data[1] > 1) {
    Broken("a bit read gave " + std::to_string(tag.data[1]) + ": " + gas);
  }
  return result;
}

}  // namespace kelfuzz
