#include <array>

#include "driver/handlers.h"
#include "driver/host_interface.h"

#if defined(_WIN32)
#define KEL_EXPORT __declspec(dllexport)
#else
#define KEL_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using RequestHandler = int32_t (*)(KelRequest*);

// Request 11 forwards the unchanged request to the close of request 12.
int32_t ClosePortForward(KelRequest* request) { return ClosePort(request); }

constexpr RequestHandler kEmptySlot = nullptr;

constexpr std::array<RequestHandler, kRequestSlots> kHandlers = {
    kEmptySlot,          // 0
    LoadDriver,          // 1
    WarmStart,           // 2
    ParseAddress,        // 3
    ParseBlockAddress,   // 4
    ReadSingle,          // 5
    ReadBlock,           // 6
    WriteSingle,         // 7
    kEmptySlot,          // 8
    kEmptySlot,          // 9
    WriteBlock,          // 10
    ClosePortForward,    // 11
    ClosePort,           // 12
    ReopenPort,          // 13
    GetDriverInfo,       // 14
    ChangePortSettings,  // 15
    BrowseAddress,       // 16
};

static_assert(kHandlers[0] == nullptr && kHandlers[8] == nullptr && kHandlers[9] == nullptr);
static_assert(kHandlers[kRequestLoadDriver] == LoadDriver);
static_assert(kHandlers[kRequestWarmStart] == WarmStart);
static_assert(kHandlers[kRequestParseAddress] == ParseAddress);
static_assert(kHandlers[kRequestParseBlockAddress] == ParseBlockAddress);
static_assert(kHandlers[kRequestReadSingle] == ReadSingle);
static_assert(kHandlers[kRequestReadBlock] == ReadBlock);
static_assert(kHandlers[kRequestWriteSingle] == WriteSingle);
static_assert(kHandlers[kRequestWriteBlock] == WriteBlock);
static_assert(kHandlers[kRequestClosePort] == ClosePortForward);
static_assert(kHandlers[kRequestClosePortToo] == ClosePort);
static_assert(kHandlers[kRequestReopenPort] == ReopenPort);
static_assert(kHandlers[kRequestGetDriverInfo] == GetDriverInfo);
static_assert(kHandlers[kRequestChangePortSettings] == ChangePortSettings);
static_assert(kHandlers[kRequestBrowseAddress] == BrowseAddress);

}  // namespace

extern "C" KEL_EXPORT int32_t KelMain(KelRequest* request) {
  if (request == nullptr || request->code >= kHandlers.size()) return kResultNoSuchRequest;
  RequestHandler handler = kHandlers[request->code];
  if (handler == nullptr) return kResultNoSuchRequest;
  return handler(request);
}
