// Pure translation of the Win32 serial layer: line settings and the option
// word to the values of a device control block (DCB). The values are a plain
// record, so the translation is tested on every build without a device; only
// the Win32 build copies them into a DCB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_api/records.h"
#include "platform/option_word.h"

// Error character of an opened port; inactive, since replacement is off.
constexpr uint8_t kInactiveErrorChar = 0xFC;

// Every DCB field the open sets. The flags not named here keep the device's
// value, notably the one that lets transmission continue after an XOFF.
struct DcbSettings {
  uint32_t baudRate;
  bool binary;
  bool parityCheck;
  bool outxCtsFlow;
  bool outxDsrFlow;
  bool dsrSensitivity;
  DtrControl dtrControl;
  RtsControl rtsControl;
  bool outX;
  bool inX;
  bool errorReplacement;
  bool nullStrip;
  bool abortOnError;
  uint8_t byteSize;
  uint8_t parity;
  uint8_t stopBits;
  uint8_t errorChar;
};

// The settings for a line and an option word: raw binary bytes with parity
// checking, no flow control of any kind, no character replacement or
// stripping, the modem lines from the option word, and the line's baud rate,
// data bits, parity code and stop-bit code passed to the device as they are
// (the device decides which codes it accepts). False when a value cannot be
// carried by a DCB byte field at all; settings are then left untouched.
bool TranslateDcbSettings(const LineSettings& line, uint16_t options, DcbSettings* settings);

// The name CreateFileA is given for a port name: "COMn" (n digits, from 1)
// becomes "\\.\COMn", so that ports above COM9 open; any other name is used
// as it is. False when the result does not fit in size bytes.
bool Win32DevicePath(const char* name, char* path, size_t size);

#ifdef _WIN32
struct _DCB;
// Writes the settings into a DCB read from the device; other fields stay.
void ApplyDcbSettings(const DcbSettings& settings, _DCB* dcb);
#endif
