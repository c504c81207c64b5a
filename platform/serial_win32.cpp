// Placeholder backend: every open fails until the native layer is in place.
#include "serial/serial_port.h"

namespace {
int Open(const char*, const LineSettings*, uint16_t, PortHandle*) { return kSerialOpenFailed; }
int Close(PortHandle) { return kSerialIoFailed; }
int SetTimeout(PortHandle, int32_t) { return 0; }
int Purge(PortHandle) { return 1; }
int Break(uint32_t, PortHandle) { return 0; }
int Write(PortHandle, const uint8_t*, uint32_t, uint32_t*) { return kSerialIoFailed; }
int Read(PortHandle, uint8_t*, uint16_t, uint16_t* received) {
  if (received) *received = 0;
  return kSerialIoFailed;
}
constexpr SerialBackend kBackend{Open, Close, SetTimeout, Purge, Break, Write, Read};
}  // namespace

const SerialBackend& NativeSerialBackend() { return kBackend; }
