// Request 16: the address browse dialog lists the stations of the board's
// network file, read anew for each dialog.
#include "address/browse.h"
#include "context/driver_context.h"
#include "driver/handlers.h"
#include "driver/network_file.h"

namespace {

// The file is read into a context of this request only; its messages appear
// as on load.
void DefinedStations(int32_t board, bool (&defined)[kStationSlots]) {
  DriverContext scratch{};
  KelRequest fileRequest{&scratch, kRequestBrowseAddress, board, 0, nullptr};
  ReadNetworkFile(&fileRequest);
  for (int station = 0; station < kStationSlots; ++station) defined[station] = scratch.snpIds[station][0] != '\0';
}

}  // namespace

int32_t BrowseAddress(KelRequest* request) { return ServeBrowseAddress(request, DefinedStations); }
