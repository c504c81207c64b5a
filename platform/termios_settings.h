// Pure translations of the POSIX serial layer: a port name to its device
// path, the option word to the DTR and RTS lines, and line settings to the
// kernel's terminal state. Nothing here touches a device.
//
// The state is the kernel's termios2 (Linux): it carries the speed as a
// number, so rates without a B-constant can be asked for with BOTHER. This
// header must not be combined with <termios.h>, whose struct termios clashes
// with the kernel's.
#pragma once

#include <asm/termbits.h>

#include <cstddef>
#include <cstdint>

#include "host_api/records.h"

// The device behind a port name: "NUL" is the null device, a name beginning
// with '/' is a path, "COMn" (n from 1) is /dev/ttyS(n-1), anything else is
// taken under /dev/ ("ttyUSB0", "pts/7"). False when the name is empty or
// the path does not fit.
bool PortDevicePath(const char* name, char* path, size_t size);

// Modem-line bits (TIOCM_DTR, TIOCM_RTS) to raise and to drop after the
// state is applied.
struct ModemLineChange {
  int raise;
  int drop;
};

// Changes the state read from a device to the line settings and the option
// word: raw bytes (no canonical mode, echo, CR/LF translation or XON/XOFF),
// CLOCAL | CREAD, no hardware flow control, reads that never block in the
// kernel (the layer waits with poll), the speed, data bits, stop bits and
// parity. A pseudo-terminal keeps no parity and has no modem lines, so for
// one only raw mode and the speed are set and the option word is not used;
// the values are still checked.
//
// Stop-bit code 1 (one and a half) exists on a UART only with 5 data bits,
// where two stop bits are sent as one and a half; with more data bits it is
// refused. DTR handshake, RTS handshake and RTS toggle have no equivalent
// here and are refused on a real device.
//
// Returns 0, or 5 for a value the layer cannot apply (state and change left
// untouched).
int TranslateLineSettings(const LineSettings& line, uint16_t options, bool pseudoTerminal, termios2* state,
                          ModemLineChange* modem);

// The speed a state runs at, in bits per second; 0 for B0.
uint32_t StateSpeed(const termios2& state);

// Whether the state read back from a real device after applying holds every
// setting asked for. The kernel accepts a state when any part of it applies,
// so a device that cannot do a rate or a parity shows only here. A rate
// asked for through BOTHER passes within the 2 % a UART tolerates.
bool StateTookEffect(const termios2& wanted, const termios2& actual);
