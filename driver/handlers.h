// The request handlers: one per filled slot of the table in kel_main.cpp,
// all of one signature. The parse, read and write requests are those of the
// layers below; the driver's own are declared here.
#pragma once

#include <cstdint>

#include "address/gas.h"
#include "driver/host_interface.h"
#include "requests/tag_request.h"

using RequestHandlerFunction = int32_t(KelRequest* request);

// Lifecycle requests: 0 success, 2 failure.
constexpr int32_t kResultLifecycleFailed = 2;
RequestHandlerFunction LoadDriver, WarmStart, ClosePort, ReopenPort, ChangePortSettings;

RequestHandlerFunction GetDriverInfo;

// The browse dialog over the stations of the board's network file: 0 with a
// GAS written, kResultBrowseNone (53) when none is.
RequestHandlerFunction BrowseAddress;
