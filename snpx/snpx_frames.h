// SNPX framing: the 24-byte request frame, the data frame of a long write,
// the response reader, and the unpacking of read data into host values.
#pragma once

#include <cstdint>

struct AccessDescriptor;
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
void BuildSnpxRequest(const SnpxRequest& request, uint8_t* frame);
void BuildSnpxBroadcastAttach(uint8_t* frame);
// Builds a data frame of count bytes (count + 8 in all); returns its length.
uint16_t BuildSnpxDataFrame(const uint8_t* data, uint16_t count, uint8_t* frame);

// Reads one response frame into response (kSnpxBufferSize bytes). 1 when a
// well-formed frame with a good BCC arrived, whatever its status; 0 otherwise.
// The line is purged before returning in either case.
int SnpxGetResponse(DriverContext* context, uint8_t* response);

// Stores read data into the host's 16-bit values as the descriptor says.
void UnpackReadData(const AccessDescriptor* access, uint16_t* values, const uint8_t* data);
// Bytes of data a descriptor covers: what a read must receive and a write sends.
uint16_t WriteDataLength(const AccessDescriptor* access);
