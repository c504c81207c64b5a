#include "context/driver_context.h"
#include "driver/handlers.h"

namespace {

constexpr int32_t kDriverVersion = 710;  // 7.10

// The banner, in code page 437: a newline, then six lines of 61 characters,
// each followed by a newline. Line 2 shades from solid through dark, medium
// and light towards the driver tag and back out again.
#define KEL_FRAME_59 \
  "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" \
  "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" \
  "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
#define KEL_SOLID "\xDB\xDB\xDB\xDB\xDB"
#define KEL_DARK "\xB2\xB2\xB2\xB2\xB2\xB2"
#define KEL_MEDIUM "\xB1\xB1\xB1\xB1\xB1\xB1"
#define KEL_LIGHT "\xB0\xB0\xB0\xB0\xB0\xB0"

constexpr char kBanner[] =
    "\n"
    "\xDA" KEL_FRAME_59 "\xBF\n"
    "\xB3 " KEL_SOLID KEL_DARK KEL_MEDIUM KEL_LIGHT " K E L G 1 " KEL_LIGHT KEL_MEDIUM KEL_DARK KEL_SOLID " \xB3\n"
    "\xB3        General Electric SNP(X) Driver installed           \xB3\n"
    "\xB3         GE Fanuc,series 90 PLCs, RS485 network.           \xB3\n"
    "\xB3    DEREVU1 serial SNP/SNPX driver, version 7.10 (c) 2026  \xB3\n"
    "\xC0" KEL_FRAME_59 "\xD9\n";

static_assert(sizeof kBanner - 1 == 1 + 6 * 62, "six lines of 61 characters after a newline");

constexpr char kDisplayName[] = "General Electric SNP(X)";

}  // namespace

int32_t GetDriverInfo(KelRequest* request) {
  if (request == nullptr || request->params == nullptr) return kResultLifecycleFailed;
  auto* info = static_cast<DriverInfo*>(request->params);
  info->version = kDriverVersion;
  info->name = kDisplayName;
  info->banner = kBanner;
  info->contextSize = kContextSize;
  info->hostValue1 = 4;
  info->defaultLine = LineSettings{19200, 8, 0, 1};
  info->hostValue2 = 0x004C0023;
  return 0;
}
