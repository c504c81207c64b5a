// The PLC's side of SNPX read exchanges comes from the fuzz input, write by
// write.
#include <cstddef>
#include <cstdint>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelfuzz::SilenceDriverLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelfuzz::RunExchange(data, size, kelfuzz::kSnpxStation, kelfuzz::Direction::kRead);
  return 0;
}
