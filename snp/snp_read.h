#pragma once

#include <cstdint>

#include "exchange/retry.h"
#include "host_api/records.h"
#include "snp/mailbox.h"

struct AccessDescriptor;
struct DriverContext;

constexpr int kSnpTries = 3;
constexpr uint32_t kSnpReadRetryPauseMs = 20;
constexpr int kMaxTextBuffers = 50;
constexpr uint16_t kSnpStagingSize = 1024;
constexpr uint16_t kSnpMailboxDataBytes = 6;  // reply bytes 22..27

// Reads: a pause and an attach before every try after the first.
constexpr RetryPlan kSnpReadPlan{kSnpTries, kSnpReadRetryPauseMs, false};

int32_t SnpRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                uint16_t* values);
// Reads the PLC's mailbox reply to a read (0x04) or a write (0x07): 1 success.
int SnpGetResponse(DriverContext* context, uint8_t code, const AccessDescriptor* access, uint16_t* values);

// Reads the one word that holds a bit, for a read-before-write.
int32_t SnpReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word);

// The 13 request bytes of a read: selector, index, length, eight zeros.
void BuildReadRequestBytes(const AccessDescriptor* access, uint8_t (&requestBytes)[kRequestBytes]);
// The attach of a read try: kProtocolOk, or kProtocolNotAttached.
int32_t SnpAttachForRead(DriverContext* context, int32_t station, const char* snpId);

// The tries of a read: each sends the read mailbox, waits for the PLC's ACK
// and then takes the reply with receiveReply(), which returns a protocol result.
template <typename ReceiveReply>
int32_t SnpReadTries(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                     ReceiveReply&& receiveReply) {
  uint8_t requestBytes[kRequestBytes];
  BuildReadRequestBytes(access, requestBytes);
  return RunTries(
      context, station, kSnpReadPlan, [&] { return SnpAttachForRead(context, station, snpId); },
      [&] {
        SnpSendMailbox(context, kSnpRead, requestBytes);
        if (!SnpGetAck(context)) return kProtocolFailed;
        return receiveReply();
      });
}
