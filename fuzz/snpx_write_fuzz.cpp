// The PLC's side of SNPX write exchanges (short and long writes, read before
// write) comes from the fuzz input, write by write.
#include <cstddef>
#include <cstdint>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelfuzz::SilenceDriverLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelfuzz::RunExchange(data, size, kelfuzz::kSnpxStation, kelfuzz::Direction::kWrite);
  return 0;
}
