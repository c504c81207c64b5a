// The purge of a device's input, over a backend of scripted primitives on the
// virtual clock: when it reads, how long it goes on, and that the port's read
// timeout comes back exactly as it was.
#include <gtest/gtest.h>

#include <vector>

#include "serial/serial_port.h"
#include "tests/support/virtual_clock.h"

namespace {

struct Primitives {
  static inline uint32_t waiting = 0;
  static inline bool waitingFails = false;
  static inline bool timeoutFails = false;
  static inline int32_t timeout = 0;
  static inline std::vector<int32_t> timeouts;  // every value set
  static inline int readsLeft = 0;              // full chunks before a short one
  static inline int failAtRead = 0;             // 0: no read fails
  static inline int reads = 0;
  static inline uint32_t msPerRead = 0;
  static inline VirtualClock* clock = nullptr;

  static int InputWaiting(PortHandle, uint32_t* count) {
    if (waitingFails) return kSerialIoFailed;
    *count = waiting;
    return kSerialOk;
  }
  static int Exchange(PortHandle, int32_t value, int32_t* previous) {
    if (timeoutFails) return kSerialStateUnreadable;
    *previous = timeout;
    timeout = value;
    timeouts.push_back(value);
    return kSerialOk;
  }
  static int ReadSome(PortHandle, uint8_t*, uint16_t count, uint16_t* got) {
    ++reads;
    clock->Advance(msPerRead);
    if (reads == failAtRead) return kSerialIoFailed;
    *got = readsLeft-- > 0 ? count : 3;
    return kSerialOk;
  }
};

TEST(PurgeInput, ReadsInChunksAndPutsTheTimeoutBack) {
  struct Case {
    const char* name;
    uint32_t waiting;
    bool waitingFails;
    bool timeoutFails;
    int32_t timeout;
    int fullChunks;
    int failAtRead;
    uint32_t msPerRead;
    int result;
    int reads;
    std::vector<int32_t> timeouts;
  } const cases[] = {
      {"nothing waiting: no read, timeout untouched", 0, false, false, 100, 0, 0, 0, kSerialOk, 0, {}},
      {"a few bytes: one short read", 3, false, false, 100, 0, 0, 50, kSerialOk, 1, {5, 100}},
      {"a timeout of 0 comes back as 0", 3, false, false, 0, 0, 0, 50, kSerialOk, 1, {5, 0}},
      {"count unknown: reads anyway", 0, true, false, 30, 2, 0, 0, kSerialOk, 3, {5, 30}},
      {"a line that keeps sending: 64 chunks", 9, false, false, 100, 1000, 0, 0, kSerialOk, 64, {5, 100}},
      {"or one second", 9, false, false, 100, 1000, 0, 20, kSerialOk, 50, {5, 100}},
      {"a failed read ends it, timeout back", 9, false, false, 70, 1000, 2, 0, kPurgeFailed, 2, {5, 70}},
      {"timeout unreadable: nothing put back", 9, false, true, 70, 0, 0, 0, kSerialOk, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    Primitives::clock = &clock;
    Primitives::waiting = c.waiting;
    Primitives::waitingFails = c.waitingFails;
    Primitives::timeoutFails = c.timeoutFails;
    Primitives::timeout = c.timeout;
    Primitives::timeouts.clear();
    Primitives::readsLeft = c.fullChunks;
    Primitives::failAtRead = c.failAtRead;
    Primitives::reads = 0;
    Primitives::msPerRead = c.msPerRead;
    SerialBackend backend{};
    backend.exchangeReadTimeout = Primitives::Exchange;
    backend.inputWaiting = Primitives::InputWaiting;
    backend.readSome = Primitives::ReadSome;
    SetSerialBackend(&backend);
    EXPECT_EQ(PurgeInput(0x33), c.result);
    SetSerialBackend(nullptr);
    EXPECT_EQ(Primitives::reads, c.reads);
    EXPECT_EQ(Primitives::timeouts, c.timeouts);
  }
}

}  // namespace
