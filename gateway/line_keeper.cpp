#include "gateway/line_keeper.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/termios_settings.h"

namespace kelgate {
namespace {

long long WholeSeconds(Clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

std::string Seconds(Clock::duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

Clock::duration ReopenBackoff::Next() {
  const Clock::duration delay = next_;
  next_ = std::min(next_ * 2, max_);
  return delay;
}

bool DeviceWatch::Attach(const std::string& path) {
  fd_ = -1;
  struct stat node {};
  if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return false;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return false;
  const int own = dirfd(fds);
  while (const dirent* entry = readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat open {};
    if (fstat(static_cast<int>(fd), &open) == 0 && S_ISCHR(open.st_mode) && open.st_dev == node.st_dev &&
        open.st_ino == node.st_ino) {
      fd_ = static_cast<int>(fd);
      device_ = open.st_dev;
      inode_ = open.st_ino;
      break;
    }
  }
  closedir(fds);
  return fd_ >= 0;
}

bool DeviceWatch::Vanished() const {
  if (fd_ < 0) return false;
  struct stat open {};
  // A descriptor that no longer shows the node opened was closed behind the
  // watch; the device is gone for the line either way.
  if (fstat(fd_, &open) != 0 || open.st_dev != device_ || open.st_ino != inode_) return true;
  return open.st_nlink == 0;
}

LineKeeper::LineKeeper(std::string port, Hooks hooks, ReopenBackoff backoff)
    : port_(std::move(port)), hooks_(std::move(hooks)), backoff_(backoff) {}

void LineKeeper::Opened() {
  char path[256];
  if (!PortDevicePath(port_.c_str(), path, sizeof path) || !watch_.Attach(path)) watch_.Detach();
}

bool LineKeeper::CheckAfterFailure(Clock::time_point now) {
  if (!open_ || !watch_.Vanished()) return false;
  watch_.Detach();
  hooks_.close();
  open_ = false;
  ++losses_;
  lostAt_ = now;
  backoff_.Reset();
  const Clock::duration delay = backoff_.Next();
  nextAttempt_ = now + delay;
  loggedDelay_ = delay;
  hooks_.log("serial device " + port_ + " vanished: its stations are answered 0x0B until it is back; reopening in " +
             Seconds(delay));
  return true;
}

bool LineKeeper::Ready(Clock::time_point now, bool* back) {
  *back = false;
  if (open_) return true;
  if (now < nextAttempt_) return false;
  if (!hooks_.reopen()) {
    const Clock::duration delay = backoff_.Next();
    nextAttempt_ = now + delay;
    // Told while the delay grows; once it stays at its longest, an adapter
    // left unplugged does not fill the log.
    if (delay != loggedDelay_) {
      hooks_.log("serial device " + port_ + " still gone; next attempt in " + Seconds(delay));
      loggedDelay_ = delay;
    }
    return false;
  }
  open_ = true;
  *back = true;
  Opened();
  hooks_.log("serial device " + port_ + " is back: reopened after " + std::to_string(WholeSeconds(now - lostAt_)) +
             " s");
  return true;
}

}  // namespace kelgate
