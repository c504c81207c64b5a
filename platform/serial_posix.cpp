// The serial port over Linux terminal devices, with the behaviour the driver
// relies on everywhere: exclusive use, raw bytes, reads that end when every
// requested byte has arrived or when the port's total timeout since the read
// began has passed, writes without timeout.
//
// A handle names a slot of a small fixed table that holds the descriptor and
// the port's current read timeout; a generation count in the handle keeps a
// stale handle from reaching a slot that has been reused.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/termios_settings.h"

namespace {

constexpr int kMaxOpenPorts = 64;
constexpr intptr_t kSlotBits = 7;  // slot index + 1, 1..64
constexpr intptr_t kSlotMask = (intptr_t{1} << kSlotBits) - 1;
constexpr uint32_t kGenerationMask = 0xFFFFFF;  // keeps a handle positive in 31 bits

// Unix98 pseudo-terminal slaves.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct PortSlot {
  std::atomic<bool> used{false};
  std::atomic<uint32_t> generation{0};  // read by lookups of stale handles from any thread
  int fd = -1;
  uint32_t readTimeoutMs = 0;
  bool nullDevice = false;
  bool exclusive = false;  // TIOCEXCL set: cleared again before closing
  bool lowLatency = false;  // low latency set by the open: cleared again before closing
};

PortSlot g_ports[kMaxOpenPorts];

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

PortSlot* ClaimSlot(PortHandle* handle) {
  for (int i = 0; i < kMaxOpenPorts; ++i) {
    bool expected = false;
    if (g_ports[i].used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      PortSlot& slot = g_ports[i];
      const uint32_t generation = (slot.generation.load(std::memory_order_relaxed) + 1) & kGenerationMask;
      slot.generation.store(generation, std::memory_order_relaxed);
      *handle = (static_cast<intptr_t>(generation) << kSlotBits) | (i + 1);
      return &slot;
    }
  }
  return nullptr;
}

void ReleaseSlot(PortSlot* slot) {
  slot->fd = -1;
  slot->used.store(false, std::memory_order_release);
}

PortSlot* FindSlot(PortHandle handle) {
  if (handle <= 0) return nullptr;
  const intptr_t index = (handle & kSlotMask) - 1;
  if (index < 0 || index >= kMaxOpenPorts) return nullptr;
  PortSlot& slot = g_ports[index];
  if (!slot.used.load(std::memory_order_acquire)) return nullptr;
  if (static_cast<intptr_t>(slot.generation.load(std::memory_order_relaxed)) != (handle >> kSlotBits)) return nullptr;
  return &slot;
}

// A USB serial adapter holds received bytes back until its latency timer
// runs out (16 ms by default on FTDI chips) unless the port asks for low
// latency, so the last bytes of every reply would reach the driver late.
// Devices without the setting (pseudo-terminals among them) refuse the
// request; false then.
bool SetLowLatency(int fd, bool on) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  if (((info.flags & ASYNC_LOW_LATENCY) != 0) == on) return false;
  info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
  return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

// False when the system refuses the close; the slot is free either way,
// since the descriptor is gone after a failed close too.
bool CloseDevice(PortSlot* slot) {
  // On a pseudo-terminal the slave's state outlives this descriptor while the
  // master stays open, so exclusive use must be given up explicitly.
  if (slot->exclusive) ioctl(slot->fd, TIOCNXCL);
  if (slot->lowLatency) SetLowLatency(slot->fd, false);
  const bool closed = close(slot->fd) == 0 || errno == EINTR;
  ReleaseSlot(slot);
  return closed;
}

bool IsPseudoTerminal(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned deviceMajor = major(info.st_rdev);
  return deviceMajor >= kPtySlaveMajorFirst && deviceMajor <= kPtySlaveMajorLast;
}

// One read as the port's timeouts define it: returns when count bytes have
// arrived or when timeoutMs has passed since it began, with what arrived in
// *got. False when the device fails or has hung up.
bool ReadWithTimeout(const PortSlot& slot, uint8_t* buffer, uint16_t count, uint32_t timeoutMs, uint16_t* got) {
  const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  *got = 0;
  while (*got < count) {
    const int64_t left = deadline - NowNs();
    // Rounded up, so that the wait does not end just short of the deadline.
    const int64_t leftMs = left <= 0 ? 0 : (left + 999999) / 1000000;
    pollfd waiting{slot.fd, POLLIN, 0};
    const int ready = poll(&waiting, 1, leftMs > INT_MAX ? INT_MAX : static_cast<int>(leftMs));
    if (ready < 0) {
      if (errno == EINTR) continue;  // toward the same deadline
      return false;
    }
    if (ready == 0) {
      if (NowNs() >= deadline) return true;
      continue;
    }
    if ((waiting.revents & POLLIN) == 0 && (waiting.revents & (POLLERR | POLLNVAL)) != 0) return false;
    const ssize_t n = read(slot.fd, buffer + *got, static_cast<size_t>(count - *got));
    if (n > 0) {
      *got = static_cast<uint16_t>(*got + n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // The null device has nothing to give and says so at once; a terminal
    // that reports readable and then yields nothing has hung up.
    if (n == 0 && slot.nullDevice) return true;
    return false;
  }
  return true;
}

int PortExchangeReadTimeout(PortHandle handle, int32_t value, int32_t* previous) {
  PortSlot* slot = FindSlot(handle);
  if (slot == nullptr || value < 0) return kSerialIoFailed;
  const int64_t ms = static_cast<int64_t>(value) * 10;
  *previous = static_cast<int32_t>(slot->readTimeoutMs / 10);
  slot->readTimeoutMs = ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
  return kSerialOk;
}

int PortOpen(const char* name, const LineSettings* line, uint16_t options, PortHandle* handle) {
  if (name == nullptr || line == nullptr || handle == nullptr) return kSerialOpenFailed;
  char path[256];
  if (!PortDevicePath(name, path, sizeof path)) return kSerialOpenFailed;
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kSerialOpenFailed;

  PortHandle opened = kNoPort;
  PortSlot* slot = ClaimSlot(&opened);
  if (slot == nullptr) {
    close(fd);
    return kSerialOpenFailed;
  }
  slot->fd = fd;
  slot->readTimeoutMs = kInitialReadTimeoutMs;
  slot->nullDevice = std::strcmp(name, "NUL") == 0;
  slot->exclusive = false;
  slot->lowLatency = false;
  auto fail = [slot](int code) {
    CloseDevice(slot);
    return code;
  };

  // The null device is shared by everything on the system and is not
  // configured: it takes no lock.
  if (slot->nullDevice) {
    *handle = opened;
    return kSerialOk;
  }
  // flock holds against every other open of the device, by this process or
  // another, even one with the privilege to ignore TIOCEXCL.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(kSerialOpenFailed);

  termios2 state{};
  if (ioctl(fd, TCGETS2, &state) != 0) return fail(kSerialStateUnreadable);
  if (ioctl(fd, TIOCEXCL) != 0) return fail(kSerialOpenFailed);
  slot->exclusive = true;

  const bool pseudoTerminal = IsPseudoTerminal(fd);
  termios2 wanted = state;
  ModemLineChange modem{0, 0};
  if (TranslateLineSettings(*line, options, pseudoTerminal, &wanted, &modem) != 0) return fail(kSerialStateRejected);
  if (ioctl(fd, TCSETS2, &wanted) != 0) return fail(kSerialStateRejected);
  if (!pseudoTerminal) {
    termios2 actual{};
    if (ioctl(fd, TCGETS2, &actual) != 0 || !StateTookEffect(wanted, actual)) return fail(kSerialStateRejected);
    if (modem.raise != 0 && ioctl(fd, TIOCMBIS, &modem.raise) != 0) return fail(kSerialStateRejected);
    if (modem.drop != 0 && ioctl(fd, TIOCMBIC, &modem.drop) != 0) return fail(kSerialStateRejected);
    slot->lowLatency = SetLowLatency(fd, true);
  }
  *handle = opened;
  return kSerialOk;
}

int PortClose(PortHandle handle) {
  PortSlot* slot = FindSlot(handle);
  if (slot == nullptr) return kSerialIoFailed;
  return CloseDevice(slot) ? kSerialOk : kSerialIoFailed;
}

int PortInputWaiting(PortHandle handle, uint32_t* count) {
  PortSlot* slot = FindSlot(handle);
  int waiting = 0;
  if (slot == nullptr || ioctl(slot->fd, FIONREAD, &waiting) != 0 || waiting < 0) return kSerialIoFailed;
  *count = static_cast<uint32_t>(waiting);
  return kSerialOk;
}

int PortReadSome(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* got) {
  *got = 0;
  PortSlot* slot = FindSlot(handle);
  if (slot == nullptr || buffer == nullptr) return kSerialIoFailed;
  return ReadWithTimeout(*slot, buffer, count, slot->readTimeoutMs, got) ? kSerialOk : kSerialIoFailed;
}

int PortSendBreak(uint32_t durationMs, PortHandle handle) {
  // A device without a break (a pseudo-terminal, the null device) simply
  // waits out the duration.
  PortSlot* slot = FindSlot(handle);
  if (slot != nullptr) ioctl(slot->fd, TIOCSBRK);
  SleepMs(durationMs);
  if (slot != nullptr) ioctl(slot->fd, TIOCCBRK);
  return 0;
}

int PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  PortSlot* slot = FindSlot(handle);
  if (slot == nullptr || (bytes == nullptr && count != 0)) return kSerialIoFailed;
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = write(slot->fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The output queue is full: wait, without a timeout, for room.
      pollfd room{slot->fd, POLLOUT, 0};
      const int ready = poll(&room, 1, -1);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && (room.revents & POLLOUT) == 0) break;
      continue;
    }
    break;
  }
  if (done == 0 && count != 0) return kSerialIoFailed;
  if (written != nullptr) *written = done;
  return done == count ? kSerialOk : kSerialShortWrite;
}

int PortReadExact(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* received) {
  if (received != nullptr) *received = 0;
  PortSlot* slot = FindSlot(handle);
  if (slot == nullptr || buffer == nullptr) return kSerialIoFailed;
  uint16_t total = 0;
  while (total < count) {
    uint16_t got = 0;
    if (!ReadWithTimeout(*slot, buffer + total, static_cast<uint16_t>(count - total), slot->readTimeoutMs, &got)) {
      return kSerialIoFailed;
    }
    if (got == 0) return kSerialIoFailed;  // a whole timeout without a byte
    total = static_cast<uint16_t>(total + got);
    if (received != nullptr) *received = total;
  }
  return kSerialOk;
}

constexpr SerialBackend kBackend{PortOpen,      PortClose,     PortExchangeReadTimeout, nullptr,     PortSendBreak,
                                 PortWrite,     PortReadExact, PortInputWaiting,        PortReadSome};

}  // namespace

const SerialBackend& NativeSerialBackend() { return kBackend; }
