// The serial line the simulator serves: a new pseudo-terminal pair, or a
// serial device configured like the driver's port.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sim/engine.h"

namespace plcsim {

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
  uint32_t baud = 19200;
  int dataBits = 8;
  Parity parity = Parity::Odd;
  int stopBits = 1;
};

// Time one character takes: a start bit, the data bits, the parity bit if
// any and the stop bits, at the baud rate.
Duration CharTime(const LineSettings& line);

class LineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An open file descriptor, closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int Get() const { return fd_; }
  int Release();

 private:
  int fd_ = -1;
};

struct Pty {
  Fd master;              // the simulator's end, raw and non-blocking
  std::string slavePath;  // the driver's end, e.g. /dev/pts/5
};

// A new pseudo-terminal pair, the master in raw mode so that no byte is
// echoed or translated. Throws LineError.
Pty OpenPty();

// Opens and configures a serial device for exclusive use, raw, non-blocking.
// A pseudo-terminal slave keeps 8 data bits and no parity, which is all it
// supports. Throws LineError with a message that names the device.
Fd OpenSerialDevice(const std::string& path, const LineSettings& line);

}  // namespace plcsim
