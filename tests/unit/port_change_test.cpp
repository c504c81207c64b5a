// Request 15 on a backend whose close can fail: every handle is closed once.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "serial/serial_port.h"

namespace {

// Hands out handles 1, 2, 3, ... and refuses the close of handle 1.
struct CountingBackend {
  static inline std::vector<PortHandle> closes;
  static inline PortHandle next = 1;

  static int Open(const char*, const LineSettings*, uint16_t, PortHandle* handle) {
    *handle = next++;
    return kSerialOk;
  }
  static int Close(PortHandle handle) {
    closes.push_back(handle);
    return handle == 1 ? kSerialIoFailed : kSerialOk;
  }
  static int ExchangeTimeout(PortHandle, int32_t, int32_t* previous) {
    *previous = 100;
    return kSerialOk;
  }
  static int Other(PortHandle) { return kSerialOk; }
  static int Break(uint32_t, PortHandle) { return 0; }
  static int Write(PortHandle, const uint8_t*, uint32_t count, uint32_t* written) {
    *written = count;
    return kSerialOk;
  }
  static int Read(PortHandle, uint8_t*, uint16_t, uint16_t* received) {
    *received = 0;
    return kSerialIoFailed;
  }
};

TEST(ChangePortSettings, RefusedCloseIsNotRepeated) {
  static constexpr SerialBackend kBackend = [] {
    SerialBackend backend{};
    backend.open = CountingBackend::Open;
    backend.close = CountingBackend::Close;
    backend.exchangeReadTimeout = CountingBackend::ExchangeTimeout;
    backend.purgeInput = CountingBackend::Other;
    backend.sendBreak = CountingBackend::Break;
    backend.write = CountingBackend::Write;
    backend.readExact = CountingBackend::Read;
    return backend;
  }();
  SetSerialBackend(&kBackend);
  CountingBackend::closes.clear();
  CountingBackend::next = 2;

  DriverContext context{};
  context.port = 1;  // the board's port, whose close the system refuses
  context.portInUse = 1;
  std::strcpy(context.portSettings.name, "COM1");
  PortChangeParams params{};
  std::strcpy(params.portName, "COM2");
  params.line = LineSettings{9600, 8, 0, 0};
  KelRequest change{&context, kRequestChangePortSettings, 1, 0, &params};
  EXPECT_EQ(KelMain(&change), 0);
  EXPECT_EQ(context.port, 2);

  KelRequest close{&context, kRequestClosePort, 1, 0, nullptr};
  EXPECT_EQ(KelMain(&close), 0);
  EXPECT_EQ(context.port, kNoPort);
  EXPECT_EQ(CountingBackend::closes, (std::vector<PortHandle>{1, 2}));
  SetSerialBackend(nullptr);
}

}  // namespace
