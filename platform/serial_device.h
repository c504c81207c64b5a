// The serial device as the operating system offers it: a handle, result
// codes, and the table of operations each backend fills (Win32, POSIX, or a
// scripted line in tests). The serial port layer above dispatches to it.
#pragma once

#include <cstdint>

#include "host_api/records.h"

// Opaque handle of an open port; kNoPort when there is none.
using PortHandle = intptr_t;
constexpr PortHandle kNoPort = 0;

// Result codes of the operations.
constexpr int kSerialOk = 0;
constexpr int kSerialOpenFailed = 1;      // cannot open, or cannot set its timeouts
constexpr int kSerialShortWrite = 2;      // fewer bytes written than asked
constexpr int kSerialStateUnreadable = 4; // the device's state cannot be read
constexpr int kSerialStateRejected = 5;   // the new state cannot be applied
constexpr int kSerialIoFailed = 7;        // a read, write or close failed

// Timeouts given to every newly opened port: a read waits at most this long
// in total; a write has no timeout.
constexpr uint32_t kInitialReadTimeoutMs = 1000;
constexpr uint32_t kDeviceQueueSize = 1200;

struct SerialBackend {
  int (*open)(const char* name, const LineSettings* line, uint16_t options, PortHandle* handle);
  int (*close)(PortHandle handle);
  // Sets the total read timeout to value x 10 ms and gives the previous one
  // in *previous; kSerialOk, or a failure with *previous untouched.
  int (*exchangeReadTimeout)(PortHandle handle, int32_t value, int32_t* previous);
  // nullptr for a device, whose input the serial port layer purges in
  // chunks with the two primitives below; a backend that models the line
  // itself (the scripted test line) discards its input in one step here.
  int (*purgeInput)(PortHandle handle);
  int (*sendBreak)(uint32_t durationMs, PortHandle handle);
  int (*write)(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
  int (*readExact)(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received);
  // The number of bytes waiting in the input; kSerialOk or a failure.
  int (*inputWaiting)(PortHandle handle, uint32_t* count);
  // One read that returns when count bytes have arrived or the total read
  // timeout has passed, with what came in *got; kSerialOk or a failure.
  int (*readSome)(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* got);
};

// The operating system's backend.
const SerialBackend& NativeSerialBackend();
