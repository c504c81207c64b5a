// The serial port over the Win32 communications functions. All I/O is
// synchronous; a port handle is the device's HANDLE.
#include <windows.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/dcb_settings.h"
#include "platform/serial_device.h"

namespace {

// Longest device name passed to CreateFileA, with the "\\.\" prefix.
constexpr size_t kDevicePathSize = 4 + 255 + 1;

HANDLE ToHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PortHandle FromHandle(HANDLE handle) { return reinterpret_cast<PortHandle>(handle); }

int Open(const char* name, const LineSettings* line, uint16_t options, PortHandle* handle) {
  if (!name || !line || !handle) return kSerialOpenFailed;
  char path[kDevicePathSize];
  if (!Win32DevicePath(name, path, sizeof path)) return kSerialOpenFailed;
  // No sharing: a second open of the device fails while this one is open.
  HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return kSerialOpenFailed;

  // The null device has no line to configure.
  if (std::strcmp(name, "NUL") == 0) {
    *handle = FromHandle(device);
    return kSerialOk;
  }

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(device, &dcb)) {
    CloseHandle(device);
    return kSerialStateUnreadable;
  }

  // A read returns when every byte asked for has arrived or when the total
  // timeout since it began has passed; a write has no timeout.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kInitialReadTimeoutMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!SetCommTimeouts(device, &timeouts)) {
    CloseHandle(device);
    return kSerialOpenFailed;
  }

  DcbSettings settings;
  if (!TranslateDcbSettings(*line, options, &settings)) {
    CloseHandle(device);
    return kSerialStateRejected;
  }
  ApplyDcbSettings(settings, &dcb);
  if (!SetCommState(device, &dcb)) {
    CloseHandle(device);
    return kSerialStateRejected;
  }

  SetupComm(device, kDeviceQueueSize, kDeviceQueueSize);
  *handle = FromHandle(device);
  return kSerialOk;
}

int Close(PortHandle handle) { return CloseHandle(ToHandle(handle)) ? kSerialOk : kSerialIoFailed; }

int ExchangeTimeout(PortHandle handle, int32_t value, int32_t* previous) {
  COMMTIMEOUTS timeouts;
  if (value < 0 || !GetCommTimeouts(ToHandle(handle), &timeouts)) return kSerialStateUnreadable;
  const DWORD current = timeouts.ReadTotalTimeoutConstant;
  const DWORD wanted = static_cast<DWORD>(value) * 10u;
  if (current != wanted) {
    timeouts.ReadTotalTimeoutConstant = wanted;
    // With every read timeout zero a read would wait for ever; a zero total
    // timeout instead takes what has arrived and returns at once.
    timeouts.ReadIntervalTimeout = wanted == 0 ? MAXDWORD : 0;
    if (!SetCommTimeouts(ToHandle(handle), &timeouts)) return kSerialStateRejected;
  }
  *previous = static_cast<int32_t>(current / 10u);
  return kSerialOk;
}

int InputWaiting(PortHandle handle, uint32_t* count) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(ToHandle(handle), &errors, &status)) return kSerialStateUnreadable;
  *count = status.cbInQue;
  return kSerialOk;
}

int ReadSome(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* got) {
  DWORD done = 0;
  *got = 0;
  if (!ReadFile(ToHandle(handle), buffer, count, &done, nullptr)) return kSerialIoFailed;
  *got = static_cast<uint16_t>(done);
  return kSerialOk;
}

int Break(uint32_t durationMs, PortHandle handle) {
  SetCommBreak(ToHandle(handle));
  SleepMs(durationMs);
  ClearCommBreak(ToHandle(handle));
  return kSerialOk;
}

int Write(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  DWORD done = 0;
  if (!WriteFile(ToHandle(handle), bytes, count, &done, nullptr)) return kSerialIoFailed;
  if (written) *written = done;
  return done == count ? kSerialOk : kSerialShortWrite;
}

int ReadExact(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received) {
  if (received) *received = 0;
  if (!buffer && count != 0) return kSerialIoFailed;
  uint16_t total = 0;
  // Each read waits at most the total read timeout, so a reply that comes in
  // pieces is gathered over several reads; a read with nothing ends it.
  while (total < count) {
    DWORD got = 0;
    // A failed read leaves its system error code with the thread
    // (GetLastError) for whoever looks next: nothing here overwrites it.
    if (!ReadFile(ToHandle(handle), buffer + total, static_cast<DWORD>(count - total), &got, nullptr)) {
      return kSerialIoFailed;
    }
    if (got == 0) return kSerialIoFailed;
    total = static_cast<uint16_t>(total + got);
    if (received) *received = total;
  }
  return kSerialOk;
}

constexpr SerialBackend kBackend{Open, Close, ExchangeTimeout, nullptr, Break, Write, ReadExact, InputWaiting, ReadSome};

}  // namespace

const SerialBackend& NativeSerialBackend() { return kBackend; }
