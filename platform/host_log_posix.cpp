// The C library has an err(3) of its own that prints and exits the process,
// so the host library's err is looked up in that library explicitly: it is
// loaded from beside the module that holds this code, never taken from the
// global symbol namespace.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/host_log.h"

namespace {

int FallbackErr(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "[%d] %s\n", level, text);
  return 0;
}

void* OpenHostLibrary() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&OpenHostLibrary), &self) != 0 && self.dli_fname != nullptr) {
    char path[4096];
    const char* slash = std::strrchr(self.dli_fname, '/');
    if (slash != nullptr) {
      size_t dirLength = static_cast<size_t>(slash - self.dli_fname);
      if (dirLength + sizeof "/" KEL_HOST_LIBRARY_SONAME <= sizeof path) {
        std::memcpy(path, self.dli_fname, dirLength);
        std::memcpy(path + dirLength, "/" KEL_HOST_LIBRARY_SONAME, sizeof "/" KEL_HOST_LIBRARY_SONAME);
        if (void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL)) return handle;
      }
    }
  }
  // Installed, or loaded by a host that brings its own: the loader finds the
  // host library by its versioned name, the instance the host already has.
  return dlopen(KEL_HOST_LIBRARY_SONAME, RTLD_NOW | RTLD_LOCAL);
}

void* HostLibrary() {
  static void* const library = OpenHostLibrary();
  return library;
}

template <typename F>
F Lookup(const char* name) {
  void* library = HostLibrary();
  return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

}  // namespace

ErrFunction HostErr() {
  static const ErrFunction function = [] {
    ErrFunction found = Lookup<ErrFunction>("err");
    return found ? found : &FallbackErr;
  }();
  return function;
}

int HostVersion() {
  char clientName[kClientNameSize];
  HostClientName(static_cast<int>(gettid()), clientName);
  using MkClient = uint16_t (*)(const char*, int, int, uint8_t*);
  using GetVersion = uint16_t (*)(uint8_t, uint16_t*, char*);
  using RmClient = uint16_t (*)(uint8_t);
  auto mk = Lookup<MkClient>("KalMkClient");
  auto get = Lookup<GetVersion>("KalGetKalvroVer");
  auto rm = Lookup<RmClient>("KalRmClient");
  if (!mk || !get || !rm) return 0;
  uint8_t client = 255;
  if (mk(clientName, 1, 0, &client) != 0) return 0;
  uint16_t version = 0;
  char text[100];
  get(client, &version, text);
  rm(client);
  return version;
}
