#include "sim/line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace plcsim {
namespace {

struct BaudConstant {
  uint32_t baud;
  speed_t constant;
};

constexpr std::array<BaudConstant, 19> kBauds{{
    {300, B300},         {600, B600},         {1200, B1200},     {1800, B1800},     {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800}, {500000, B500000}, {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
}};

std::string Errno() { return std::strerror(errno); }

// Unix98 pseudo-terminal slaves have device majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned m = major(info.st_rdev);
  return m >= 136 && m <= 143;
}

}  // namespace

Duration CharTime(const LineSettings& line) {
  const int bits = 1 + line.dataBits + (line.parity == Parity::None ? 0 : 1) + line.stopBits;
  if (line.baud == 0) return Duration::zero();
  return std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(1'000'000'000LL * bits / line.baud));
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int Fd::Release() { return std::exchange(fd_, -1); }

Pty OpenPty() {
  Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (master.Get() < 0) throw LineError("cannot create a pseudo-terminal: " + Errno());
  if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
    throw LineError("cannot unlock the pseudo-terminal: " + Errno());
  }
  char path[128];
  if (ptsname_r(master.Get(), path, sizeof path) != 0) throw LineError("cannot name the pseudo-terminal: " + Errno());
  termios tio{};
  if (tcgetattr(master.Get(), &tio) != 0) throw LineError("cannot read the pseudo-terminal's settings: " + Errno());
  cfmakeraw(&tio);
  if (tcsetattr(master.Get(), TCSANOW, &tio) != 0) {
    throw LineError("cannot set the pseudo-terminal to raw mode: " + Errno());
  }
  const int flags = fcntl(master.Get(), F_GETFL);
  if (flags < 0 || fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    throw LineError("cannot make the pseudo-terminal non-blocking: " + Errno());
  }
  return Pty{std::move(master), path};
}

Fd OpenSerialDevice(const std::string& path, const LineSettings& line) {
  Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == EBUSY) throw LineError(path + ": the device is busy (opened for exclusive use by another program)");
    throw LineError(path + ": cannot open: " + Errno());
  }
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    throw LineError(path + ": the device is busy (locked by another program)");
  }
  termios tio{};
  if (tcgetattr(fd.Get(), &tio) != 0) throw LineError(path + ": not a serial device: " + Errno());
  ioctl(fd.Get(), TIOCEXCL);
  const bool pty = IsPtySlave(fd.Get());
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (pty) {
    tio.c_cflag |= CS8;
  } else {
    switch (line.dataBits) {
      case 5: tio.c_cflag |= CS5; break;
      case 6: tio.c_cflag |= CS6; break;
      case 7: tio.c_cflag |= CS7; break;
      case 8: tio.c_cflag |= CS8; break;
      default: throw LineError(path + ": unsupported number of data bits " + std::to_string(line.dataBits));
    }
    switch (line.parity) {
      case Parity::None: break;
      case Parity::Odd: tio.c_cflag |= PARENB | PARODD; break;
      case Parity::Even: tio.c_cflag |= PARENB; break;
      case Parity::Mark: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
      case Parity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
    }
    if (line.parity != Parity::None) tio.c_iflag |= INPCK;
    if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
  }
  const auto baud = std::find_if(kBauds.begin(), kBauds.end(), [&line](const BaudConstant& b) { return b.baud == line.baud; });
  if (baud == kBauds.end()) {
    if (!pty) throw LineError(path + ": unsupported baud rate " + std::to_string(line.baud));
  } else if (cfsetispeed(&tio, baud->constant) != 0 || cfsetospeed(&tio, baud->constant) != 0) {
    throw LineError(path + ": cannot set the baud rate: " + Errno());
  }
  if (tcsetattr(fd.Get(), TCSANOW, &tio) != 0) throw LineError(path + ": cannot configure the line: " + Errno());
  tcflush(fd.Get(), TCIOFLUSH);
  return fd;
}

}  // namespace plcsim
