// The serial port layer: the only door between the driver and a serial
// device. The operations below dispatch to a backend (the operating system's,
// or a scripted fake line in tests); the layer itself writes no message.
#pragma once

#include <cstdint>

#include "host_api/records.h"
#include "platform/serial_device.h"

// What a port is opened with: the device name, the line and the option word.
struct PortSettings {
  char name[12];
  LineSettings line;
  uint16_t flags;
};

// The purge reads chunks of this size, each waiting at most the purge's read
// timeout. A line that keeps sending would keep every chunk full, so the
// purge also stops after a number of chunks or a time, whichever comes first.
constexpr uint16_t kPurgeChunk = 512;
constexpr int32_t kPurgeReadTimeout = 5;  // 50 ms
constexpr int kPurgeMaxChunks = 64;
constexpr uint32_t kPurgeMaxMs = 1000;
constexpr int kPurgeFailed = 1;

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
