#pragma once

#include <cstdint>

#include "driver/host_interface.h"
#include "requests/access.h"

struct AccessDescriptor;
struct DriverContext;

constexpr int kSnpxTries = 3;
constexpr uint32_t kSnpxRetryPauseMs = 20;

int32_t SnpxRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 uint16_t* values);

// The attach steps that begin every SNPX try: from the second try on a pause
// and an attach in any case; then an attach when the station is not the
// attached one. false when an attach failed.
bool SnpxPrepareTry(DriverContext* context, int32_t station, const char* snpId, int attempt);

// Purge, send a request and read its response: 1 with a good response.
int SnpxExchange(DriverContext* context, const uint8_t* frame, uint16_t count, uint8_t* response);
