#pragma once

#include <cstdint>
#include <span>

#include "exchange/access.h"
#include "exchange/retry.h"
#include "host_api/records.h"
#include "snpx/snpx_frames.h"

struct DriverContext;

constexpr int kSnpxTries = 3;
constexpr uint32_t kSnpxRetryPauseMs = 20;

// Every SNPX read and write: a pause and an attach before every try after the first.
constexpr RetryPlan kSnpxPlan{kSnpxTries, kSnpxRetryPauseMs, false};

int32_t SnpxRead(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                 uint16_t* values);
// Reads the one word that holds a bit, for a read-before-write.
int32_t SnpxReadWord(KelRequest* request, const AccessDescriptor* access, uint16_t* word);

// The attach of an SNPX try: the broadcast attach, which cannot fail.
int32_t SnpxAttachForTry(DriverContext* context, int32_t station);

// Purge, send a request and read its response: 1 with a good response.
int SnpxExchange(DriverContext* context, std::span<const uint8_t> frame, uint8_t* response);

// The messages of a checked exchange: no good response, and a non-zero status
// (a format taking the status and the station's SNP ID) with its level.
struct SnpxExchangeMessages {
  const char* noResponse;
  int statusLevel;
  const char* badStatus;
};
extern const SnpxExchangeMessages kSnpxMessages;          // reads, short writes, the data frame of a long write
extern const SnpxExchangeMessages kSnpxLongWriteMessages; // the request that announces a data frame
extern const SnpxExchangeMessages kSnpxDataFrameMessages; // the data frame of a long write

// One exchange and its checks: kProtocolOk when a good response with status 0
// and at least minData data bytes came; otherwise kProtocolFailed after the
// message that says why.
int32_t SnpxCheckedExchange(DriverContext* context, const char* snpId, std::span<const uint8_t> frame,
                            uint8_t (&response)[kSnpxBufferSize], uint16_t minData,
                            const SnpxExchangeMessages& messages);

// The tries of a read of length units from the descriptor's selector and
// index: store(data) takes the response's data once a try has brought at
// least minData bytes with a good status.
template <typename Store>
int32_t SnpxReadTries(DriverContext* context, int32_t station, const char* snpId, const AccessDescriptor* access,
                      uint16_t length, uint16_t minData, Store&& store) {
  uint8_t request[kSnpxRequestSize];
  uint8_t response[kSnpxBufferSize];
  BuildSnpxRequest(SnpxRequest{snpId, kSnpxRead, access->selector, access->index, length, 0, 0, 0}, request);
  return RunTries(
      context, station, kSnpxPlan, [&] { return SnpxAttachForTry(context, station); },
      [&] {
        const int32_t result = SnpxCheckedExchange(context, snpId, request, response, minData, kSnpxMessages);
        if (result == kProtocolOk) store(response + kSnpxResponseData);
        return result;
      });
}
