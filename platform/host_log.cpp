#include <cstdio>

#include "platform/host_log.h"

void HostClientName(int threadId, char (&name)[kClientNameSize]) {
  std::snprintf(name, sizeof name, "KelG1Br%02d", threadId);
}
