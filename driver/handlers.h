// The request handlers: one per filled slot of the table in kel_main.cpp,
// all of one signature.
#pragma once

#include <cstdint>

#include "driver/host_interface.h"

using RequestHandlerFunction = int32_t(KelRequest* request);

// Lifecycle requests: 0 success, 2 failure.
constexpr int32_t kResultLifecycleFailed = 2;
RequestHandlerFunction LoadDriver, WarmStart, ClosePort, ReopenPort, ChangePortSettings;

RequestHandlerFunction GetDriverInfo;

// Parse requests: 0 valid, 1 invalid.
RequestHandlerFunction ParseAddress, ParseBlockAddress;

// Read and write requests: 0, or the protocol's result (1 exchange failed,
// 2 station not attached).
RequestHandlerFunction ReadSingle, ReadBlock, WriteSingle, WriteBlock;

// The browse dialog: 0 with a GAS written, 53 when none is.
constexpr int32_t kResultBrowseNone = 53;
RequestHandlerFunction BrowseAddress;
