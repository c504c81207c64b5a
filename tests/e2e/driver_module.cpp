#include "tests/e2e/driver_module.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

std::string SelfFolder() {
  char path[4096] = {};
#if defined(_WIN32)
  GetModuleFileNameA(nullptr, path, sizeof path - 1);
  std::string self(path);
  return self.substr(0, self.find_last_of("\\/") + 1);
#else
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
  return self.substr(0, self.rfind('/') + 1);
#endif
}

KelMainFunction Load() {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA((SelfFolder() + "DEREVU1.DLL").c_str());
  if (module == nullptr) return nullptr;
  return reinterpret_cast<KelMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "KelMain")));
#else
  void* module = dlopen((SelfFolder() + "libderevu1.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<KelMainFunction>(dlsym(module, "KelMain"));
#endif
}

}  // namespace

KelMainFunction LoadedKelMain() {
  static const KelMainFunction kelMain = Load();
  return kelMain;
}

std::string E2ePort() {
  const char* port = std::getenv("KEL_E2E_PORT");
  return port ? port : "";
}

int32_t E2eBoard() {
  const char* board = std::getenv("KEL_E2E_BOARD");
  return board ? std::atoi(board) : 77;
}

HostBoard::HostBoard(int32_t board) : board_(board), context_(1300, 0) {}

int32_t HostBoard::Call(uint32_t code, void* params) {
  KelRequest request{reinterpret_cast<DriverContext*>(context_.data()), code, board_, 0, params};
  return LoadedKelMain()(&request);
}

int32_t HostBoard::Load(const std::string& port, int32_t readTimeout, LineSettings line) {
  LoadParams params{};
  std::snprintf(params.portName, sizeof params.portName, "%s", port.c_str());
  params.portInUse = 1;
  params.readTimeout = readTimeout;
  params.line = line;
  return Call(kRequestLoadDriver, &params);
}

int32_t HostBoard::Parse(const std::string& gas, int32_t dataType, int32_t count, bool block, ParseRecord* record) {
  gas_ = gas;
  *record = ParseRecord{};
  record->gas = gas_.c_str();
  record->dataType = dataType;
  record->count = count;
  return Call(block ? kRequestParseBlockAddress : kRequestParseAddress, record);
}

TagResult HostBoard::Transfer(uint32_t code, const ParseRecord& record, int32_t count, std::vector<uint16_t> buffer) {
  TagRecord tag{record.gas, 0, record.station, record.area, record.element, record.bit, record.width, 0, count, 0,
                buffer.data()};
  const TagRecord before = tag;
  TagResult outcome{Call(code, &tag), {}};
  // The requests never change the host's record.
  if (std::memcmp(&before, &tag, sizeof tag) != 0) outcome.result = -1000;
  outcome.values = std::move(buffer);
  return outcome;
}
