#include "address/gas.h"
#include "platform/host_log.h"
#include "requests/tag_request.h"

namespace {

bool BlockWritable(int32_t area) { return IsRegisterArea(area) || area == 'F'; }

// A block of several elements is written only to the areas that take one.
int32_t WriteBlockOf(DriverContext* context, const TagRecord& tag) {
  if (tag.count > 1 && !BlockWritable(tag.area)) {
    KEL_LOG(kLevelInfo, "KELG1:Block write not allowed. GAS= %s", GasCopy(tag.gas).text);
    return kProtocolFailed;
  }
  return TransferBlock(context, tag, Transfer::kWrite, "KelG1: Write failed. Plc %d. RC=%d. GAS= %s");
}

}  // namespace

int32_t WriteSingle(KelRequest* request) {
  DriverContext* context = request != nullptr ? request->context : nullptr;
  return ServeSingle(request, WriteBlockOf, [&](const TagRecord& tag, const ProtocolOps& protocol, const GasCopy& gas) {
    const uint16_t kept = tag.data[kSingleValueWord];
    // The value sent: the host's value, or for a bit in a register word the
    // PLC's word with that one bit changed.
    uint16_t source[1] = {kept};
    AccessDescriptor access{};
    if (IsRegisterArea(tag.area)) {
      BuildBitAccess(&tag, &access);
      uint16_t word = 0;
      const int32_t readResult = ReportFailure(protocol.readWord(request, &access, &word),
                                               "KELG1: Read before Write failed. Plc %d rc = %d. GAS= %s", tag.station,
                                               gas);
      if (readResult != kProtocolOk) return readResult;
      const uint16_t mask = static_cast<uint16_t>(1u << (tag.bit & 15));
      source[0] = (kept & 1) != 0 ? static_cast<uint16_t>(word | mask) : static_cast<uint16_t>(word & ~mask);
    }
    BuildBitAccess(&tag, &access);
    return ReportFailure(protocol.write(context, tag.station, context->snpIds[tag.station], &access, source),
                         "KelG1: Write failed. Plc %d rc = %d. GAS= %s", tag.station, gas);
  });
}

int32_t WriteBlock(KelRequest* request) {
  const TagRecord* tag = ServableTag(request);
  if (tag == nullptr) return kProtocolFailed;
  return WriteBlockOf(request->context, *tag);
}
