#include "platform/dcb_settings.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

bool TranslateDcbSettings(const LineSettings& line, uint16_t options, DcbSettings* settings) {
  if (!settings) return false;
  // ByteSize, Parity and StopBits are single bytes in a DCB; a larger code
  // would silently become another one.
  if (line.dataBits > 0xFF || line.parity > 0xFF || line.stopBits > 0xFF) return false;
  DcbSettings result{};
  result.baudRate = line.baudRate;
  result.binary = true;
  result.parityCheck = true;
  result.outxCtsFlow = false;
  result.outxDsrFlow = false;
  result.dsrSensitivity = false;
  result.dtrControl = DtrControlFor(options);
  result.rtsControl = RtsControlFor(options);
  result.outX = false;
  result.inX = false;
  result.errorReplacement = false;
  result.nullStrip = false;
  result.abortOnError = false;
  result.byteSize = static_cast<uint8_t>(line.dataBits);
  result.parity = static_cast<uint8_t>(line.parity);
  result.stopBits = static_cast<uint8_t>(line.stopBits);
  result.errorChar = kInactiveErrorChar;
  *settings = result;
  return true;
}

namespace {

// "COM" followed by a number from 1, in any letter case as Windows names are.
bool IsComPortName(const char* name) {
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return false;
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return false;
  for (const char* p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

}  // namespace

bool Win32DevicePath(const char* name, char* path, size_t size) {
  if (!name || !path || size == 0) return false;
  const char* prefix = IsComPortName(name) ? "\\\\.\\" : "";
  const size_t prefixLength = std::strlen(prefix);
  const size_t nameLength = std::strlen(name);
  if (prefixLength + nameLength + 1 > size) return false;
  std::memcpy(path, prefix, prefixLength);
  std::memcpy(path + prefixLength, name, nameLength + 1);
  return true;
}

#ifdef _WIN32
static_assert(static_cast<DWORD>(DtrControl::kDisable) == DTR_CONTROL_DISABLE);
static_assert(static_cast<DWORD>(DtrControl::kEnable) == DTR_CONTROL_ENABLE);
static_assert(static_cast<DWORD>(DtrControl::kHandshake) == DTR_CONTROL_HANDSHAKE);
static_assert(static_cast<DWORD>(RtsControl::kDisable) == RTS_CONTROL_DISABLE);
static_assert(static_cast<DWORD>(RtsControl::kEnable) == RTS_CONTROL_ENABLE);
static_assert(static_cast<DWORD>(RtsControl::kHandshake) == RTS_CONTROL_HANDSHAKE);
static_assert(static_cast<DWORD>(RtsControl::kToggle) == RTS_CONTROL_TOGGLE);

void ApplyDcbSettings(const DcbSettings& settings, _DCB* dcb) {
  dcb->BaudRate = settings.baudRate;
  dcb->fBinary = settings.binary;
  dcb->fParity = settings.parityCheck;
  dcb->fOutxCtsFlow = settings.outxCtsFlow;
  dcb->fOutxDsrFlow = settings.outxDsrFlow;
  dcb->fDsrSensitivity = settings.dsrSensitivity;
  dcb->fDtrControl = static_cast<DWORD>(settings.dtrControl);
  dcb->fRtsControl = static_cast<DWORD>(settings.rtsControl);
  dcb->fOutX = settings.outX;
  dcb->fInX = settings.inX;
  dcb->fErrorChar = settings.errorReplacement;
  dcb->fNull = settings.nullStrip;
  dcb->fAbortOnError = settings.abortOnError;
  dcb->ByteSize = settings.byteSize;
  dcb->Parity = settings.parity;
  dcb->StopBits = settings.stopBits;
  dcb->ErrorChar = static_cast<char>(settings.errorChar);
}
#endif
