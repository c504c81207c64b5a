// The port option word: how the DTR and RTS modem lines are handled while
// the port is open. Both serial layers decode it here; the values are those
// of the Win32 device control block (DTR_CONTROL_*, RTS_CONTROL_*).
#pragma once

#include <cstdint>

enum class DtrControl : uint8_t { kDisable = 0, kEnable = 1, kHandshake = 2 };
enum class RtsControl : uint8_t { kDisable = 0, kEnable = 1, kHandshake = 2, kToggle = 3 };

// Option word bits, tested in this order of precedence.
constexpr uint16_t kOptionDtrEnable = 0x0101;  // either bit: DTR held on
constexpr uint16_t kOptionDtrHandshake = 0x8000;
constexpr uint16_t kOptionRtsEnable = 0x0202;  // either bit: RTS held on
constexpr uint16_t kOptionRtsHandshake = 0x1000;
constexpr uint16_t kOptionRtsToggle = 0x2000;  // RTS on only while transmitting

DtrControl DtrControlFor(uint16_t options);
RtsControl RtsControlFor(uint16_t options);
