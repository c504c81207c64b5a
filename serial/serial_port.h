// The serial port layer: the only door between the driver and a serial
// device. The operations below dispatch to a backend (the operating system's,
// or a scripted fake line in tests); the layer itself writes no message.
#pragma once

#include <cstdint>

#include "driver/host_interface.h"

// What a port is opened with: the device name, the line and the option word.
struct PortSettings {
  char name[12];
  LineSettings line;
  uint16_t flags;
};

// Opaque handle of an open port; kNoPort when there is none.
using PortHandle = intptr_t;
constexpr PortHandle kNoPort = 0;

// Result codes of the layer.
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
  // nullptr for a device, whose input the layer purges in chunks with the
  // two primitives below; a backend that models the line itself (the
  // scripted test line) discards its input in one step here.
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

// The purge reads chunks of this size, each waiting at most the purge's read
// timeout. A line that keeps sending would keep every chunk full, so the
// purge also stops after a number of chunks or a time, whichever comes first.
constexpr uint16_t kPurgeChunk = 512;
constexpr int32_t kPurgeReadTimeout = 5;  // 50 ms
constexpr int kPurgeMaxChunks = 64;
constexpr uint32_t kPurgeMaxMs = 1000;
constexpr int kPurgeFailed = 1;

// The operating system's backend (platform layer).
const SerialBackend& NativeSerialBackend();

// Replaces the backend (tests); nullptr restores the native one.
void SetSerialBackend(const SerialBackend* backend);

int SerialOpen(const char* name, const LineSettings& line, uint16_t options, PortHandle* handle);
PortHandle OpenPort(const PortSettings& settings);
int SerialClose(PortHandle handle);
// Sets the total read timeout to value x 10 ms; returns the previous one in
// units of 10 ms, or 0 when the timeouts cannot be read or written.
int SetReadTimeout(PortHandle handle, int32_t value);
// The same, telling a failure from a previous timeout of 0: kSerialOk with
// the previous value in *previous, or a failure.
int ExchangeReadTimeout(PortHandle handle, int32_t value, int32_t* previous);
// Discards pending input, putting the port's read timeout back as it was.
// kSerialOk, or kPurgeFailed when a read failed.
int PurgeInput(PortHandle handle);
int SendBreak(uint32_t durationMs, PortHandle handle);
int SerialWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
int SerialReadExact(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received);
