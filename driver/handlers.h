// The request handlers: one per filled slot of the table in kel_main.cpp.
#pragma once

#include <cstdint>

#include "driver/host_interface.h"

// Lifecycle requests: 0 success, 2 failure.
constexpr int32_t kResultLifecycleFailed = 2;
int32_t LoadDriver(KelRequest* request);
int32_t WarmStart(KelRequest* request);
int32_t ClosePort(KelRequest* request);
int32_t ReopenPort(KelRequest* request);
int32_t ChangePortSettings(KelRequest* request);

int32_t GetDriverInfo(KelRequest* request);

// Parse requests: 0 valid, 1 invalid.
int32_t ParseAddress(KelRequest* request);
int32_t ParseBlockAddress(KelRequest* request);

// Read and write requests: 0, or the protocol's result (1 exchange failed,
// 2 station not attached).
int32_t ReadSingle(KelRequest* request);
int32_t ReadBlock(KelRequest* request);
int32_t WriteSingle(KelRequest* request);
int32_t WriteBlock(KelRequest* request);

// The browse dialog: 0 with a GAS written, 53 when none is.
constexpr int32_t kResultBrowseNone = 53;
int32_t BrowseAddress(KelRequest* request);
