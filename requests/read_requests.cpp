#include "requests/tag_request.h"

namespace {

int32_t ReadBlockOf(DriverContext* context, const TagRecord& tag) {
  return TransferBlock(context, tag, Transfer::kRead, "KelG1:Read failed. Plc %d. rc = %d. GAS= %s");
}

}  // namespace

int32_t ReadSingle(KelRequest* request) {
  DriverContext* context = request != nullptr ? request->context : nullptr;
  return ServeSingle(request, ReadBlockOf, [&](const TagRecord& tag, const ProtocolOps& protocol, const GasCopy& gas) {
    AccessDescriptor access{};
    BuildBitAccess(&tag, &access);
    return ReportFailure(
        protocol.read(context, tag.station, context->snpIds[tag.station], &access, tag.data + kSingleValueWord),
        "KelG1: Read failed. Plc %d. RC=%d. GAS= %s", tag.station, gas);
  });
}

int32_t ReadBlock(KelRequest* request) {
  const TagRecord* tag = ServableTag(request);
  if (tag == nullptr) return kProtocolFailed;
  return ReadBlockOf(request->context, *tag);
}
