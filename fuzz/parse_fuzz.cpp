// Requests 3 and 4 with any GAS text, data type and count, on a board with or
// without a network file. A tag that parses is then read and written with a
// silent PLC: whatever the parse accepted must be safe to serve.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "tests/support/fake_line.h"
#include "tests/support/virtual_clock.h"

namespace {

using kelfuzz::Broken;

constexpr char kGasSentinel = 0x5A;

void CheckAddress(const ParseRecord& parse, uint32_t code, const std::string& gas) {
  const bool block = code == kRequestParseBlockAddress;
  if (parse.station < 0 || parse.station > 64) Broken("station " + std::to_string(parse.station) + ": " + gas);
  if (std::strchr("RLOFIQTMGABCD", parse.area) == nullptr || parse.area == 0) Broken("area: " + gas);
  if (parse.element < 0 || parse.element > 99999) Broken("element: " + gas);
  if (parse.bit != kNoBit && (parse.bit < 0 || parse.bit > 15)) Broken("bit: " + gas);
  if (parse.width != (parse.area == 'F' ? 32 : 16)) Broken("width: " + gas);
  if (block && (parse.count < 1 || parse.count > 500)) Broken("count " + std::to_string(parse.count) + ": " + gas);
  if (parse.area == 'F' && parse.bit != kNoBit) Broken("a bit in F: " + gas);
}

// Reads and writes the parsed tag on a line where nothing answers.
void ServeSilently(DriverContext& context, const ParseRecord& parse, uint32_t code, const char* gas) {
  VirtualClock clock;
  FakeLine line(clock);
  line.KeepEvents(false);
  line.AnswerWith([](std::span<const uint8_t>) { return Bytes{}; });
  context.port = line.Handle();
  const bool block = code == kRequestParseBlockAddress;
  TagRecord tag = TagRecordFor(parse, parse.count);
  tag.gas = gas;
  const kelfuzz::ValueRange range = kelfuzz::ValueRangeOf(tag, block);
  std::vector<uint16_t> buffer(std::max<size_t>(range.first + range.count, 2), 0x3C3C);
  tag.data = buffer.data();
  const std::vector<uint16_t> before = buffer;
  TagRecord tagBefore;
  std::memcpy(&tagBefore, &tag, sizeof tag);
  for (uint32_t request : {block ? kRequestReadBlock : kRequestReadSingle,
                           block ? kRequestWriteBlock : kRequestWriteSingle}) {
    KelRequest serve{&context, request, 1, 0, &tag};
    if (KelMain(&serve) == 0) Broken(std::string("a request succeeded with no PLC: ") + gas);
    if (buffer != before) Broken(std::string("a failed request changed the buffer: ") + gas);
    if (std::memcmp(&tag, &tagBefore, sizeof tag) != 0) Broken(std::string("the TagRecord changed: ") + gas);
  }
  context.port = kNoPort;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelfuzz::SilenceDriverLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelfuzz::Input input(data, size);
  const uint8_t flags = input.Byte();
  const uint32_t code = (flags & 1) != 0 ? kRequestParseBlockAddress : kRequestParseAddress;
  ParseRecord parse{};
  parse.dataType = static_cast<int32_t>(input.Le32());
  parse.count = static_cast<int32_t>(input.Le32());
  // The GAS is exactly the rest of the input and its NUL, so a read past it
  // is caught by the address sanitizer.
  const std::span<const uint8_t> text = input.Take(input.Left());
  std::vector<char> gas(text.begin(), text.end());
  gas.push_back('\0');
  parse.gas = gas.data();

  DriverContext context{};
  context.attachedStation = kNoStation;
  if ((flags & 2) != 0) {
    // A loaded network file: station 1 SNP, 2 SNPX, 64 SNP.
    std::memcpy(context.snpIds[1], "PLCA", 4);
    std::memcpy(context.snpIds[2], "PLCB", 4);
    std::memcpy(context.snpIds[64], "PLCZ1234", 8);
    context.snpxStation[2] = 1;
  }
  context.gasText[9] = kGasSentinel;
  DriverContext contextBefore;
  std::memcpy(&contextBefore, &context, sizeof context);

  KelRequest request{&context, code, 1, 0, &parse};
  const int32_t result = KelMain(&request);
  const std::string shown(gas.begin(), gas.end() - 1);
  if (result != 0 && result != 1) Broken("parse result " + std::to_string(result) + ": " + shown);
  if (context.gasText[9] != kGasSentinel) Broken("the byte after the GAS work text was written: " + shown);
  // Only the GAS work text may change in the context.
  std::memcpy(contextBefore.gasText, context.gasText, sizeof context.gasText);
  if (std::memcmp(&context, &contextBefore, sizeof context) != 0) Broken("the parse changed the context: " + shown);
  if (result != 0) return 0;
  CheckAddress(parse, code, shown);
  ServeSilently(context, parse, code, gas.data());
  return 0;
}
