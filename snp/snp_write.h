#pragma once

#include <cstdint>
#include <span>

#include "exchange/retry.h"
#include "host_api/records.h"
#include "snp/mailbox.h"
#include "snp/snp_read.h"

struct AccessDescriptor;
struct DriverContext;

constexpr uint32_t kSnpWriteRetryPauseMs = 50;
constexpr uint16_t kSnpMailboxWriteMax = 8;  // data bytes carried in the mailbox itself

// Writes: before every try after the first, the input is purged, then a pause
// and the attach with its control exchanges.
constexpr RetryPlan kSnpWritePlan{kSnpTries, kSnpWriteRetryPauseMs, true};

int32_t SnpWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 const uint16_t* values);

void SnpSendMailboxWithText(DriverContext* context, uint8_t code, const uint8_t (&requestBytes)[kRequestBytes],
                            uint16_t dataLength, uint16_t textLength);
// Builds a text buffer around data: ESC 'T', the data, ETB, the next type and
// length, 0 and the BCC. Its length, or 0 (nothing built) when the data does
// not fit.
uint16_t BuildTextBuffer(std::span<uint8_t, kTextBufferSize> buffer, std::span<const uint8_t> data, uint8_t nextType,
                         uint16_t nextLength);
// Sends one text buffer; false when the data does not fit one (nothing sent).
bool SnpSendTextBuffer(DriverContext* context, std::span<const uint8_t> data, uint8_t nextType, uint16_t nextLength);
