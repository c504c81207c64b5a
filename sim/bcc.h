// Block check character of SNP and SNPX frames, computed by the simulator
// itself so that it checks the driver independently of the driver's code.
#pragma once

#include <cstdint>
#include <span>

namespace plcsim {

// Starts at 0; each byte is XORed in, then the value is rotated left by one bit.
uint8_t Bcc(std::span<const uint8_t> bytes);

// Upper-case hexadecimal digit of a half byte (0..15), the form in which the
// attach frames carry their BCC.
char HexDigit(unsigned nibble);

}  // namespace plcsim
