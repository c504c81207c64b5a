#include "requests/tag_request.h"

#include "platform/host_log.h"
#include "snp/snp_read.h"
#include "snp/snp_write.h"
#include "snpx/snpx_read.h"
#include "snpx/snpx_write.h"

namespace {

constexpr ProtocolOps kSnp{SnpRead, SnpWrite, SnpReadWord};
constexpr ProtocolOps kSnpx{SnpxRead, SnpxWrite, SnpxReadWord};

}  // namespace

const ProtocolOps& ProtocolFor(const DriverContext* context, int32_t station) {
  return context->snpxStation[station] == 1 ? kSnpx : kSnp;
}

TagRecord* ServableTag(KelRequest* request) {
  if (request == nullptr || request->context == nullptr || request->params == nullptr) return nullptr;
  auto* tag = static_cast<TagRecord*>(request->params);
  if (tag->gas == nullptr || tag->data == nullptr) return nullptr;
  if (tag->station < 0 || tag->station >= kStationSlots) return nullptr;
  return tag;
}

GasCopy::GasCopy(const char* gas) {
  int i = 0;
  for (; i < static_cast<int>(sizeof text) - 1 && gas[i] != '\0'; ++i) {
    const char c = gas[i];
    text[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  text[i] = '\0';
}

int32_t ReportFailure(int32_t result, const char* format, int32_t station, const GasCopy& gas) {
  if (result != kProtocolOk) KEL_LOG(kLevelInfo, format, static_cast<int>(station), static_cast<int>(result), gas.text);
  return result;
}

int32_t TransferBlock(DriverContext* context, const TagRecord& tag, Transfer direction, const char* format) {
  if (tag.count < 1) return kProtocolFailed;
  const ProtocolOps& protocol = ProtocolFor(context, tag.station);
  AccessDescriptor access{};
  BuildWordAccess(&tag, &access);
  const char* snpId = context->snpIds[tag.station];
  const int32_t result = direction == Transfer::kRead ? protocol.read(context, tag.station, snpId, &access, tag.data)
                                                      : protocol.write(context, tag.station, snpId, &access, tag.data);
  return ReportFailure(result, format, tag.station, GasCopy(tag.gas));
}

TagRecord OneElementBlock(const TagRecord& tag) {
  TagRecord block = tag;
  block.count = 1;
  if (tag.width == 16) block.data = tag.data + kSingleValueWord;
  return block;
}
