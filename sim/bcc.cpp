#include "sim/bcc.h"

namespace plcsim {

uint8_t Bcc(std::span<const uint8_t> bytes) {
  uint8_t value = 0;
  for (uint8_t byte : bytes) {
    value ^= byte;
    value = static_cast<uint8_t>((value << 1) | (value >> 7));
  }
  return value;
}

char HexDigit(unsigned nibble) {
  nibble &= 0x0F;
  return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + nibble - 10);
}

}  // namespace plcsim
