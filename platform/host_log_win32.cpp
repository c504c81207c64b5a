// On Windows the driver imports err and the client calls from KALVRO.dll.
#include <windows.h>

#include "host_api/kalvro.h"
#include "platform/host_log.h"

ErrFunction HostErr() { return &err; }

int HostVersion() {
  char clientName[kClientNameSize];
  HostClientName(static_cast<int>(GetCurrentThreadId()), clientName);
  uint8_t client = 255;
  if (KalMkClient(clientName, 1, 0, &client) != 0) return 0;
  uint16_t version = 0;
  char text[100];
  KalGetKalvroVer(client, &version, text);
  KalRmClient(client);
  return version;
}
