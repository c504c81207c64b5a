#include "serial/serial_port.h"

#include "platform/clock.h"

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

int ExchangeReadTimeout(PortHandle handle, int32_t value, int32_t* previous) {
  return Backend().exchangeReadTimeout(handle, value, previous);
}

int SetReadTimeout(PortHandle handle, int32_t value) {
  int32_t previous = 0;
  return ExchangeReadTimeout(handle, value, &previous) == kSerialOk ? previous : 0;
}

int PurgeInput(PortHandle handle) {
  const SerialBackend& backend = Backend();
  if (backend.purgeInput != nullptr) return backend.purgeInput(handle);
  uint32_t waiting = 0;
  if (backend.inputWaiting(handle, &waiting) == kSerialOk && waiting == 0) return kSerialOk;

  int32_t previous = 0;
  const bool restore = backend.exchangeReadTimeout(handle, kPurgeReadTimeout, &previous) == kSerialOk;
  uint8_t scratch[kPurgeChunk];
  bool failed = false;
  const uint32_t start = TickCount();
  for (int chunk = 1; chunk <= kPurgeMaxChunks; ++chunk) {
    uint16_t got = 0;
    if (backend.readSome(handle, scratch, kPurgeChunk, &got) != kSerialOk) {
      failed = true;
      break;
    }
    if (got < kPurgeChunk || TickCount() - start >= kPurgeMaxMs) break;
  }
  // Put back exactly what was read before, a timeout of 0 included.
  int32_t ignored = 0;
  if (restore) backend.exchangeReadTimeout(handle, previous, &ignored);
  return failed ? kPurgeFailed : kSerialOk;
}

int SendBreak(uint32_t durationMs, PortHandle handle) { return Backend().sendBreak(durationMs, handle); }

int SerialWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  return Backend().write(handle, bytes, count, written);
}

int SerialReadExact(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received) {
  return Backend().readExact(handle, buffer, count, received);
}
