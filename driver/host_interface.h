// The driver's side of the host interface: the records exchanged with the
// host (host_api/records.h) and the single export.
#pragma once

#include <cstdint>

#include "host_api/records.h"

// The single export. Returns the handler's result unchanged; an empty or
// unknown slot, or a null request, gives kResultNoSuchRequest.
constexpr int32_t kResultNoSuchRequest = -1;

extern "C" int32_t KelMain(KelRequest* request);
