// The requests that manage a board's life: load, warm start, close, reopen
// and change of port settings.
#include <cstring>

#include "context/driver_context.h"
#include "driver/handlers.h"
#include "driver/network_file.h"
#include "platform/host_log.h"

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kMinimumReadTimeout = 100;  // 1 s, put back after every SNP attach response
constexpr uint16_t kDefaultAttachWait = 20;   // 200 ms

bool HasContext(const KelRequest* request) { return request != nullptr && request->context != nullptr; }

void CopyPortName(char (&to)[12], const char (&from)[12]) {
  std::memcpy(to, from, sizeof to);
  to[sizeof to - 1] = '\0';  // the host's name may fill all twelve bytes
}

// A board holds one port. When a load or reopen succeeds while an earlier
// port is still open (another device, or one that allows sharing), the
// earlier one is closed rather than left open and unreachable.
void ReplacePort(DriverContext* context, PortHandle port) {
  if (context->port != kNoPort && context->port != port) SerialClose(context->port);
  context->port = port;
}

void ResetLinkState(DriverContext* context) {
  context->attachedStation = kNoStation;
  context->snpxAttached = 0;
  context->lastAckTick = 0;
}

}  // namespace

int32_t LoadDriver(KelRequest* request) {
  if (!HasContext(request) || request->params == nullptr) return kResultLifecycleFailed;
  DriverContext* context = request->context;
  const auto* params = static_cast<const LoadParams*>(request->params);

  context->attachWait = kDefaultAttachWait;
  ResetLinkState(context);
  if (ReadNetworkFile(request) != kNetworkFileUsable) return kResultLifecycleFailed;

  context->portInUse = params->portInUse;
  if (params->portInUse == 0) return kOk;

  PortSettings settings{};
  CopyPortName(settings.name, params->portName);
  settings.line = params->line;
  settings.flags = context->rtsControl != 0 ? kPortFlagsRts : kPortFlagsDefault;

  const PortHandle port = OpenPort(settings);
  if (port == kNoPort) {
    KEL_LOG(kLevelInfo, "KELG1: Fail to open %s", settings.name);
    return kResultLifecycleFailed;
  }
  ReplacePort(context, port);
  // The port gets the host's value as it is; the stored normal timeout has a
  // floor of 1 s, which the first SNP attach response puts on the port.
  SetReadTimeout(port, params->readTimeout);
  context->portSettings = settings;
  context->readTimeout = params->readTimeout < kMinimumReadTimeout ? kMinimumReadTimeout : params->readTimeout;
  context->attachedStation = kNoStation;
  KEL_LOG(kLevelInfo, "KELG1: Driver for %s loaded successfully", settings.name);
  return kOk;
}

int32_t WarmStart(KelRequest* request) {
  if (!HasContext(request) || request->params == nullptr) return kResultLifecycleFailed;
  DriverContext* context = request->context;
  if (context->port != kNoPort) PurgeInput(context->port);
  KEL_LOG(kLevelInfo, "KELG1: PLC %d. Warm Start ", static_cast<int>(static_cast<const WarmStartParams*>(request->params)->plc));
  ResetLinkState(context);
  return kOk;
}

int32_t ClosePort(KelRequest* request) {
  if (!HasContext(request)) return kResultLifecycleFailed;
  DriverContext* context = request->context;
  if (context->port == kNoPort) return kOk;
  if (SerialClose(context->port) != kSerialOk) return kResultLifecycleFailed;
  context->port = kNoPort;
  return kOk;
}

int32_t ReopenPort(KelRequest* request) {
  if (!HasContext(request)) return kResultLifecycleFailed;
  DriverContext* context = request->context;
  const PortHandle port = OpenPort(context->portSettings);
  if (port == kNoPort) return kResultLifecycleFailed;
  context->portInUse = 1;
  ReplacePort(context, port);
  return kOk;
}

int32_t ChangePortSettings(KelRequest* request) {
  if (!HasContext(request) || request->params == nullptr) return kResultLifecycleFailed;
  DriverContext* context = request->context;
  const auto* params = static_cast<const PortChangeParams*>(request->params);

  if (params->readTimeout != 0) context->readTimeout = params->readTimeout;
  // An open port is closed whatever its name, so that new line settings on
  // the same device take effect instead of failing on the exclusive open.
  // The handle is closed once: after a refused close it is given up rather
  // than kept, so that nothing closes it a second time.
  if (context->port != kNoPort) {
    SerialClose(context->port);
    context->port = kNoPort;
  }
  CopyPortName(context->portSettings.name, params->portName);
  context->portSettings.line = params->line;

  const PortHandle port = OpenPort(context->portSettings);
  if (port == kNoPort) return kResultLifecycleFailed;
  ReplacePort(context, port);
  return kOk;
}
