#include "tests/posix/pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << errno;
    return;
  }
  char name[64] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "no slave name";
    return;
  }
  path_ = name;
  // Opened before the driver's own open, so exclusive use does not keep it
  // out; it only lets the test see how much input waits on the slave.
  observer_ = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (observer_ < 0) ADD_FAILURE() << "cannot open " << path_;
}

PtyPair::~PtyPair() {
  if (observer_ >= 0) close(observer_);
  CloseMaster();
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd room{master_, POLLOUT, 0};
      poll(&room, 1, 100);
    } else {
      ADD_FAILURE() << "write to master failed: " << errno;
      return;
    }
  }
}

std::vector<uint8_t> PtyPair::Receive(size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes;
  const int64_t deadline = MonotonicMs() + timeoutMs;
  while (bytes.size() < count) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buffer[4096];
    const size_t want = std::min(sizeof buffer, count - bytes.size());
    const ssize_t n = read(master_, buffer, want);
    if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

size_t PtyPair::PendingInput() const {
  int waiting = 0;
  if (ioctl(observer_, FIONREAD, &waiting) != 0) return 0;
  return static_cast<size_t>(waiting);
}

bool PtyPair::WaitPendingInput(size_t count, int timeoutMs) const {
  const int64_t deadline = MonotonicMs() + timeoutMs;
  while (PendingInput() < count) {
    if (MonotonicMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

termios2 PtyPair::SlaveState() const {
  termios2 state{};
  if (ioctl(observer_, TCGETS2, &state) != 0) ADD_FAILURE() << "TCGETS2 failed";
  return state;
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int OpenDescriptorCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}
