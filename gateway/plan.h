// From one Modbus request to the driver calls that serve it: decoding of the
// request's fields, the checks that answer with an exception before anything
// reaches the serial line, and the calls themselves. No sockets, no driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "gateway/mapping.h"

namespace kelgate {

// Modbus exception codes the gateway answers with.
enum Exception : uint8_t {
  kNoException = 0,
  kIllegalFunction = 0x01,
  kIllegalAddress = 0x02,
  kIllegalValue = 0x03,
  kDeviceFailure = 0x04,
  kServerBusy = 0x06,
  kGatewayPathUnavailable = 0x0A,
  kGatewayTargetFailed = 0x0B,
};

// Function codes served.
enum Function : uint8_t {
  kReadCoils = 1,
  kReadDiscreteInputs = 2,
  kReadHoldingRegisters = 3,
  kReadInputRegisters = 4,
  kWriteSingleCoil = 5,
  kWriteSingleRegister = 6,
  kWriteMultipleCoils = 15,
  kWriteMultipleRegisters = 16,
};

// Largest quantities of one request (the Modbus application protocol's).
constexpr uint16_t kMaxReadBits = 2000;
constexpr uint16_t kMaxReadRegisters = 125;
constexpr uint16_t kMaxWriteBits = 1968;
constexpr uint16_t kMaxWriteRegisters = 123;

struct Request {
  uint8_t unit = 0;
  uint8_t function = 0;
  uint16_t address = 0;
  uint16_t count = 0;             // items read or written
  uint16_t value = 0;             // functions 5 and 6: the value field
  uint8_t byteCount = 0;          // functions 15 and 16
  std::vector<uint16_t> values;   // items to write: registers, or bits as 0/1
};

enum class Decoded {
  kOk,
  kUnsupported,  // a function code not served: exception 0x01
  kMalformed,    // the fields disagree with the frame's length: drop the client
};

// Decodes the protocol data unit (function code first, `length` bytes).
Decoded DecodeRequest(uint8_t unit, const uint8_t* pdu, size_t length, Request* request);

// One call of the driver: a read or write of a tag with this address string.
struct LineStep {
  bool write = false;
  bool block = false;
  std::string gas;
  int32_t count = 1;             // elements of the tag (words for a block of a discrete area)
  std::vector<uint16_t> values;  // the values written
};

struct Plan {
  uint8_t exception = kNoException;  // non-zero: answer with it, the line is not used
  Request request;
  Place place{};
  uint32_t firstWordElement = 0;  // bit reads: element of bit 0 of the first word read
  std::vector<LineStep> steps;
};

// The driver's address string of an element: station, area letter, five
// digits, and an optional bit digit.
std::string Gas(int station, const Area& area, uint32_t element);

// Checks the request (function, unit, quantities, map, write permission) and
// lists its driver calls: a read is one block read; a register write one
// block write; a coil write one call per whole aligned word of 16 coils and
// one per loose coil, since the driver writes discrete memory by the bit or
// by the single word.
Plan MakePlan(const Request& request, const AddressMap& map, const WritePolicy& policy,
              const std::set<int>& stations);

// A write from a door other than Modbus: items (registers, or bits as 0/1)
// from place.element on of station's memory, under the same write policy.
// The plan's request is the Modbus write that would do the same.
Plan MakeWritePlan(int station, const Place& place, const std::vector<uint16_t>& items, const WritePolicy& policy);

// Lists the plan's driver calls for its request and place.
void AddSteps(Plan* plan, bool read);

// The read's items from the words of the block read: registers as they are,
// bits picked out of their words.
std::vector<uint16_t> ReadItems(const Plan& plan, const std::vector<uint16_t>& words);

}  // namespace kelgate
