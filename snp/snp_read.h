#pragma once

#include <cstdint>

#include "driver/host_interface.h"

struct AccessDescriptor;
struct DriverContext;

constexpr int kSnpTries = 3;
constexpr uint32_t kSnpReadRetryPauseMs = 20;
constexpr int kMaxTextBuffers = 50;
constexpr uint16_t kSnpStagingSize = 1024;
constexpr uint16_t kSnpMailboxDataBytes = 6;  // reply bytes 22..27

int32_t SnpRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                uint16_t* values);
// Reads the PLC's mailbox reply to a read (0x04) or a write (0x07): 1 success.
int SnpGetResponse(DriverContext* context, uint8_t code, const AccessDescriptor* access, uint16_t* values);

// The 13 request bytes of a read: selector, index, length, eight zeros.
void BuildReadRequestBytes(const AccessDescriptor* access, uint8_t* requestBytes);
// The attach steps that begin every SNP read try; false when an attach failed.
bool SnpPrepareReadTry(DriverContext* context, int32_t station, const char* snpId, int attempt);
