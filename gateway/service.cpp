#include "gateway/service.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace kelgate {

bool StderrIsJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    uintmax_t device = 0;
    uintmax_t inode = 0;
    if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
    struct stat self{};
    if (fstat(STDERR_FILENO, &self) != 0) return false;
    return static_cast<uintmax_t>(self.st_dev) == device && static_cast<uintmax_t>(self.st_ino) == inode;
  }();
  return journal;
}

std::string LogPrefix() {
  if (StderrIsJournal()) return {};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%s.%03ld kelgate: ", stamp, now.tv_nsec / 1000000);
  return prefix;
}

void NotifyReady(const std::string& status) {
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace kelgate
