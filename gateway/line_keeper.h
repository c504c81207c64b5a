// Keeps a board's serial device in use across its disappearance: a USB
// adapter unplugged, a pseudo-terminal whose other side closed. The driver
// then only reports stations that do not answer, so the keeper watches the
// device from outside: the descriptor the driver holds loses its last link
// when the device node goes. It then closes the board's port and reopens it
// with a backoff until the device is back. The line's thread calls it; the
// state it shows is read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "gateway/fair_queue.h"

namespace kelgate {

// Delays between reopen attempts: `first`, doubling up to `max`.
class ReopenBackoff {
 public:
  ReopenBackoff(Clock::duration first, Clock::duration max) : first_(first), max_(max), next_(first) {}
  // The delay before the next attempt; the one after it is twice as long.
  Clock::duration Next();
  void Reset() { next_ = first_; }

 private:
  Clock::duration first_;
  Clock::duration max_;
  Clock::duration next_;
};

// This process's open descriptor on a device, found by the device's
// identity, so that its fate can be seen without touching it.
class DeviceWatch {
 public:
  // Finds the descriptor open on the character device at `path` (links
  // followed). False when the path is no character device or no descriptor
  // of this process is open on it.
  bool Attach(const std::string& path);
  void Detach() { fd_ = -1; }
  bool Attached() const { return fd_ >= 0; }
  // True when the attached device's node has been removed.
  bool Vanished() const;

 private:
  int fd_ = -1;
  unsigned long long device_ = 0;  // st_dev and st_ino of the node opened
  unsigned long long inode_ = 0;
};

class LineKeeper {
 public:
  struct Hooks {
    std::function<bool()> close;   // closes the board's port
    std::function<bool()> reopen;  // opens it again with the same settings
    std::function<void(const std::string&)> log;
  };
  // `port` is the board's port name as the driver takes it ("ttyUSB0",
  // "pts/7", "/tmp/ttyPLC").
  LineKeeper(std::string port, Hooks hooks, ReopenBackoff backoff);

  // The board's port has just been opened: watch it. A port the keeper
  // cannot find (the null device, no port) is simply not watched.
  void Opened();
  // After a request on the line failed: true when the device turns out to
  // have vanished, in which case the port is closed and reopen attempts
  // begin after the first delay.
  bool CheckAfterFailure(Clock::time_point now);
  // Before each use of the line: true when the device is open. While it is
  // gone, tries to reopen it once the delay has passed; *back is set when
  // that attempt succeeded.
  bool Ready(Clock::time_point now, bool* back);
  // When the next reopen attempt is due (max() while the device is open).
  Clock::time_point NextAttempt() const { return open_ ? Clock::time_point::max() : nextAttempt_; }

  bool Open() const { return open_; }
  uint64_t Losses() const { return losses_; }
  const std::string& Port() const { return port_; }

 private:
  std::string port_;
  Hooks hooks_;
  ReopenBackoff backoff_;
  DeviceWatch watch_;
  std::atomic<bool> open_{true};
  std::atomic<uint64_t> losses_{0};
  Clock::time_point lostAt_{};
  Clock::time_point nextAttempt_{};
  Clock::duration loggedDelay_{};
};

}  // namespace kelgate
