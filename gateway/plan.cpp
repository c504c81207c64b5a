#include "gateway/plan.h"

#include <algorithm>
#include <cstdio>

namespace kelgate {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool IsRead(uint8_t function) { return function >= kReadCoils && function <= kReadInputRegisters; }

Table TableOf(uint8_t function) {
  switch (function) {
    case kReadCoils:
    case kWriteSingleCoil:
    case kWriteMultipleCoils:
      return Table::kCoils;
    case kReadDiscreteInputs:
      return Table::kDiscreteInputs;
    case kReadInputRegisters:
      return Table::kInputRegisters;
    default:
      return Table::kHoldingRegisters;
  }
}

// The quantity rules of each function; false means exception 0x03.
bool QuantityValid(const Request& r) {
  switch (r.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
      return r.count >= 1 && r.count <= kMaxReadBits;
    case kReadHoldingRegisters:
    case kReadInputRegisters:
      return r.count >= 1 && r.count <= kMaxReadRegisters;
    case kWriteSingleCoil:
      return r.value == 0xFF00 || r.value == 0x0000;
    case kWriteSingleRegister:
      return true;
    case kWriteMultipleCoils:
      return r.count >= 1 && r.count <= kMaxWriteBits && r.byteCount == (r.count + 7) / 8;
    case kWriteMultipleRegisters:
      return r.count >= 1 && r.count <= kMaxWriteRegisters && r.byteCount == r.count * 2;
    default:
      return false;
  }
}

}  // namespace

Decoded DecodeRequest(uint8_t unit, const uint8_t* pdu, size_t length, Request* request) {
  *request = Request{};
  request->unit = unit;
  if (length < 1) return Decoded::kMalformed;
  request->function = pdu[0];
  switch (pdu[0]) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
      if (length != 5) return Decoded::kMalformed;
      request->address = Be16(pdu + 1);
      request->count = Be16(pdu + 3);
      return Decoded::kOk;
    case kWriteSingleCoil:
    case kWriteSingleRegister:
      if (length != 5) return Decoded::kMalformed;
      request->address = Be16(pdu + 1);
      request->value = Be16(pdu + 3);
      request->count = 1;
      request->values = {pdu[0] == kWriteSingleCoil ? static_cast<uint16_t>(request->value == 0xFF00)
                                                    : request->value};
      return Decoded::kOk;
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters: {
      if (length < 6 || length != 6u + pdu[5]) return Decoded::kMalformed;
      request->address = Be16(pdu + 1);
      request->count = Be16(pdu + 3);
      request->byteCount = pdu[5];
      const uint8_t* data = pdu + 6;
      if (pdu[0] == kWriteMultipleRegisters) {
        for (size_t k = 0; k < request->count && 2 * k + 1 < request->byteCount; ++k) {
          request->values.push_back(Be16(data + 2 * k));
        }
      } else {
        for (size_t k = 0; k < request->count && k / 8 < request->byteCount; ++k) {
          request->values.push_back(static_cast<uint16_t>(data[k / 8] >> (k % 8) & 1));
        }
      }
      return Decoded::kOk;
    }
    default:
      return Decoded::kUnsupported;
  }
}

std::string Gas(int station, const Area& area, uint32_t element) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d%c%05u", station, area.letter, element);
  return text;
}

Plan MakePlan(const Request& request, const AddressMap& map, const WritePolicy& policy,
              const std::set<int>& stations) {
  Plan plan;
  plan.request = request;
  const uint8_t f = request.function;
  const bool read = IsRead(f);
  const bool known = read || f == kWriteSingleCoil || f == kWriteSingleRegister || f == kWriteMultipleCoils ||
                     f == kWriteMultipleRegisters;
  if (!known) {
    plan.exception = kIllegalFunction;
    return plan;
  }
  if (stations.count(request.unit) == 0) {
    plan.exception = kGatewayPathUnavailable;
    return plan;
  }
  if (!QuantityValid(request) || (!read && request.values.size() != request.count)) {
    plan.exception = kIllegalValue;
    return plan;
  }
  const auto place = map.Resolve(TableOf(f), request.address, request.count);
  if (!place) {
    plan.exception = kIllegalAddress;
    return plan;
  }
  plan.place = *place;
  if (!read && !policy.Allows(*place)) {
    plan.exception = kIllegalAddress;
    return plan;
  }
  AddSteps(&plan, read);
  return plan;
}

Plan MakeWritePlan(int station, const Place& place, const std::vector<uint16_t>& items, const WritePolicy& policy) {
  Plan plan;
  plan.request.unit = static_cast<uint8_t>(station);
  plan.request.function = place.area->bits ? kWriteMultipleCoils : kWriteMultipleRegisters;
  plan.request.count = static_cast<uint16_t>(place.count);
  plan.request.values = items;
  plan.place = place;
  if (items.size() != place.count || place.count == 0 ||
      place.count > (place.area->bits ? kMaxWriteBits : kMaxWriteRegisters)) {
    plan.exception = kIllegalValue;
  } else if (place.element < 1 || place.element - 1 + place.count > kLastElement || !policy.Allows(place)) {
    plan.exception = kIllegalAddress;
  } else {
    AddSteps(&plan, false);
  }
  return plan;
}

void AddSteps(Plan* out, bool read) {
  Plan& plan = *out;
  const Request& request = plan.request;
  const Place* place = &plan.place;
  const Area& area = *place->area;
  const int station = request.unit;
  if (read && area.bits) {
    // The words that hold the bits, read as one block of the discrete area.
    const uint32_t firstWord = (place->element - 1) / 16;
    const uint32_t lastWord = (place->element + place->count - 2) / 16;
    plan.firstWordElement = firstWord * 16 + 1;
    plan.steps.push_back({false, true, Gas(station, area, plan.firstWordElement),
                          static_cast<int32_t>(lastWord - firstWord + 1), {}});
  } else if (read) {
    plan.steps.push_back({false, true, Gas(station, area, place->element), static_cast<int32_t>(place->count), {}});
  } else if (!area.bits) {
    plan.steps.push_back(
        {true, true, Gas(station, area, place->element), static_cast<int32_t>(place->count), request.values});
  } else {
    uint32_t k = 0;
    while (k < place->count) {
      const uint32_t element = place->element + k;
      if ((element - 1) % 16 == 0 && place->count - k >= 16) {
        uint16_t word = 0;
        for (uint32_t b = 0; b < 16; ++b) word = static_cast<uint16_t>(word | (request.values[k + b] & 1) << b);
        plan.steps.push_back({true, true, Gas(station, area, element), 1, {word}});
        k += 16;
      } else {
        plan.steps.push_back({true, false, Gas(station, area, element), 1, {request.values[k]}});
        k += 1;
      }
    }
  }
}

std::vector<uint16_t> ReadItems(const Plan& plan, const std::vector<uint16_t>& words) {
  std::vector<uint16_t> items;
  if (!plan.place.area->bits) {
    items.assign(words.begin(), words.begin() + std::min<size_t>(words.size(), plan.place.count));
    return items;
  }
  for (uint32_t k = 0; k < plan.place.count; ++k) {
    const uint32_t offset = plan.place.element + k - plan.firstWordElement;
    const size_t word = offset / 16;
    items.push_back(word < words.size() ? static_cast<uint16_t>(words[word] >> (offset % 16) & 1) : 0);
  }
  return items;
}

}  // namespace kelgate
