#include "host_api/kalvro.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
KalErrSink g_sink = nullptr;
void* g_sinkUser = nullptr;
int g_hostVersion = 830;
uint8_t g_nextClient = 1;

void DefaultSink(void*, int level, const char* text) {
  std::fprintf(stderr, "[%d] %s\n", level, text);
  std::fflush(stderr);
}

}  // namespace

extern "C" {

KALVRO_API int err(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(g_lock);
  (g_sink ? g_sink : DefaultSink)(g_sinkUser, level, text);
  return 0;
}

KALVRO_API uint16_t KalMkClient(const char* name, int, int, uint8_t* handle) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_hostVersion < 0 || name == nullptr || handle == nullptr) return 1;
  *handle = g_nextClient++;
  if (g_nextClient == 255) g_nextClient = 1;
  return 0;
}

KALVRO_API uint16_t KalGetKalvroVer(uint8_t, uint16_t* version, char* text) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (version) *version = static_cast<uint16_t>(g_hostVersion < 0 ? 0 : g_hostVersion);
  if (text) std::snprintf(text, 100, "KALVRO stand-in %d", g_hostVersion);
  return 0;
}

KALVRO_API uint16_t KalRmClient(uint8_t) { return 0; }

KALVRO_API void KalSetErrSink(KalErrSink sink, void* user) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_sink = sink;
  g_sinkUser = user;
}

KALVRO_API void KalSetHostVersion(int version) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_hostVersion = version;
}

}  // extern "C"
