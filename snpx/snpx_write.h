#pragma once

#include <cstdint>

#include "host_api/records.h"

struct AccessDescriptor;
struct DriverContext;

// Writes of up to this many data bytes travel inside the request frame.
constexpr uint16_t kSnpxShortWriteMax = 2;

int32_t SnpxWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                  const uint16_t* values);
