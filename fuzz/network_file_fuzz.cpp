// The network file reader on any text, fed from memory as it would read the
// board's file. Only the station table, the attach wait and the RTS flag may
// change, within their ranges.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "driver/network_file.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelfuzz::SilenceDriverLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelfuzz::Broken;
  DriverContext context;
  std::memset(&context, 0x77, sizeof context);
  std::memset(context.snpIds, 0, sizeof context.snpIds);  // as the load request clears them
  DriverContext before;
  std::memcpy(&before, &context, sizeof before);

  ConfigBuffer buffer{data, size, 0};
  const int result = ReadNetworkLines(&context, "kelG101.int", BufferSource(&buffer));
  if (result != kNetworkFileIllegal && result != kNetworkFileUsable) Broken("result " + std::to_string(result));
  if (buffer.cursor > size) Broken("read past the end of the file");

  if (context.attachWait != before.attachWait && (context.attachWait < 10 || context.attachWait > 1000)) {
    Broken("attach wait " + std::to_string(context.attachWait));
  }
  if (context.rtsControl != before.rtsControl && context.rtsControl != 1) Broken("RTS flag");
  for (int station = 0; station < kStationSlots; ++station) {
    for (int i = 8; i < kSnpIdSlotSize; ++i) {
      if (context.snpIds[station][i] != 0) Broken("an SNP ID longer than 8 characters");
    }
    const bool touched = context.snpxStation[station] != before.snpxStation[station];
    if (touched && context.snpxStation[station] > 1) Broken("SNPX flag");
    if (station == 0 && (context.snpIds[0][0] != 0 || touched)) Broken("station 0 was set");
  }
  // Nothing else in the context changes.
  DriverContext expected;
  std::memcpy(&expected, &context, sizeof expected);
  expected.attachWait = before.attachWait;
  expected.rtsControl = before.rtsControl;
  std::memcpy(expected.snpIds, before.snpIds, sizeof expected.snpIds);
  std::memcpy(expected.snpxStation, before.snpxStation, sizeof expected.snpxStation);
  if (std::memcmp(&expected, &before, sizeof expected) != 0) Broken("the reader changed other context fields");
  return 0;
}
