// Request 16, the address browse dialog: the request's steps and the
// dialog's state. Which stations the board defines comes from the caller,
// who reads the board's network file.
#pragma once

#include <cstdint>

#include "context/driver_context.h"
#include "host_api/records.h"

// The result when no GAS is written.
constexpr int32_t kResultBrowseNone = 53;

// Marks in defined[] the stations the board's network file defines.
using BoardStations = void (*)(int32_t board, bool (&defined)[kStationSlots]);

// 0 with a GAS written to the record's buffer, kResultBrowseNone when none is.
// stationsOf is asked once for each dialog that appears, before it shows.
int32_t ServeBrowseAddress(KelRequest* request, BoardStations stationsOf);
