// SNPX framing: the 24-byte request frame, the data frame of a long write,
// and the response reader.
#pragma once

#include <cstdint>
#include <span>

struct DriverContext;

// Each SNPX exchange works in two buffers of this size: 512 data bytes plus
// the 8 bytes of a data frame, or plus the 15 bytes of a response, fit.
constexpr uint16_t kSnpxBufferSize = 536;
constexpr uint16_t kSnpxRequestSize = 24;
constexpr uint16_t kSnpxMaxData = 512;
// The most data a response may announce without overrunning the buffer.
constexpr uint16_t kSnpxMaxResponseData = kSnpxBufferSize - 15;
constexpr uint16_t kSnpxResponseStatus = 5;  // offset of the status word
constexpr uint16_t kSnpxResponseLength = 7;  // offset of the data length
constexpr uint16_t kSnpxResponseData = 9;    // offset of the data
constexpr uint16_t kSnpxDataFraming = 8;     // ESC 'T' before the data; ETB, 4 bytes and the BCC after

// Offsets in the 24-byte request frame.
constexpr uint16_t kSnpxRequestId = 2;  // 8 bytes of SNP ID, all 0xFF for the broadcast
constexpr uint16_t kSnpxIdSize = 8;
constexpr uint16_t kSnpxRequestCode = 10;
constexpr uint16_t kSnpxRequestSelector = 11;
constexpr uint16_t kSnpxRequestIndex = 12;
constexpr uint16_t kSnpxRequestLength = 14;
constexpr uint16_t kSnpxRequestData = 16;  // the data of a short write
constexpr uint16_t kSnpxRequestEtb = 18;
constexpr uint16_t kSnpxRequestNextType = 19;
constexpr uint16_t kSnpxRequestNextLength = 20;
constexpr uint16_t kSnpxRequestBcc = 23;  // BCC of bytes 0..22

constexpr uint8_t kSnpxRequestType = 'X';
constexpr uint8_t kSnpxResponseTypeLower = 'x';
constexpr uint8_t kSnpxDataType = 'T';

enum SnpxRequestCode : uint8_t { kSnpxAttach = 0, kSnpxRead = 1, kSnpxWrite = 2 };

struct SnpxRequest {
  const char* snpId;  // 8 bytes of the station's slot; nullptr for the broadcast ID
  uint8_t code;
  uint8_t selector;
  uint16_t index;
  uint16_t length;
  uint16_t data;         // data of a short write
  uint8_t nextType;      // 'T' when a data frame follows
  uint16_t nextLength;   // length of that data frame
};

// Builds a 24-byte request frame in frame, zeroing it first.
void BuildSnpxRequest(const SnpxRequest& request, std::span<uint8_t, kSnpxRequestSize> frame);
void BuildSnpxBroadcastAttach(std::span<uint8_t, kSnpxRequestSize> frame);
// Builds a data frame around data (its size + 8 in all) and returns its
// length; 0, with nothing built, for more than kSnpxMaxData bytes.
uint16_t BuildSnpxDataFrame(std::span<const uint8_t> data, std::span<uint8_t, kSnpxBufferSize> frame);

// Reads one response frame into response (kSnpxBufferSize bytes). 1 when a
// well-formed frame with a good BCC arrived, whatever its status; 0 otherwise.
// The line is purged before returning in either case.
int SnpxGetResponse(DriverContext* context, uint8_t* response);
