#pragma once

#include <cstdint>

#include "driver/host_interface.h"

struct AccessDescriptor;
struct DriverContext;

constexpr uint32_t kSnpWriteRetryPauseMs = 50;
constexpr uint16_t kSnpMailboxWriteMax = 8;  // data bytes carried in the mailbox itself

int32_t SnpWrite(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 const uint16_t* values);
// Reads the one word that holds a bit, for a read-before-write.
int32_t SnpReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word);

void SnpSendMailboxWithText(DriverContext* context, uint8_t code, const uint8_t* requestBytes, uint16_t dataLength,
                            uint16_t textLength);
void SnpSendTextBuffer(DriverContext* context, uint16_t dataLength, const uint8_t* data, uint8_t nextType,
                       uint16_t nextLength);
