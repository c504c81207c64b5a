#include "serial/serial_port.h"

namespace {
const SerialBackend* g_backend = nullptr;

const SerialBackend& Backend() { return g_backend ? *g_backend : NativeSerialBackend(); }
}  // namespace

void SetSerialBackend(const SerialBackend* backend) { g_backend = backend; }

int SerialOpen(const char* name, const LineSettings& line, uint16_t options, PortHandle* handle) {
  return Backend().open(name, &line, options, handle);
}

PortHandle OpenPort(const PortSettings& settings) {
  PortHandle handle = kNoPort;
  if (SerialOpen(settings.name, settings.line, settings.flags, &handle) != kSerialOk) return kNoPort;
  return handle;
}

int SerialClose(PortHandle handle) { return Backend().close(handle); }

int SetReadTimeout(PortHandle handle, int32_t value) { return Backend().setReadTimeout(handle, value); }

int PurgeInput(PortHandle handle) { return Backend().purgeInput(handle); }

int SendBreak(uint32_t durationMs, PortHandle handle) { return Backend().sendBreak(durationMs, handle); }

int SerialWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  return Backend().write(handle, bytes, count, written);
}

int SerialReadExact(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received) {
  return Backend().readExact(handle, buffer, count, received);
}
