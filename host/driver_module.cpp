#include "host/driver_module.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "address/gas.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

// Words kept around the values in the host buffer: the words before a single
// 16-bit value (it sits in word kSingleValueWord), and a guard word after the
// values.
constexpr size_t kGuardWords = kSingleValueWord + 1;
constexpr uint16_t kGuard = 0xA55A;

std::string ProgramFolder() {
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

}  // namespace

const char* DriverFileName() {
#if defined(_WIN32)
  return "DEREVU1.DLL";
#else
  return "libderevu1.so";
#endif
}

std::string DriverBesideProgram() { return ProgramFolder() + DriverFileName(); }

std::string DefaultDriver() {
  std::string beside = DriverBesideProgram();
#if defined(_WIN32)
  return beside;
#else
  // A build folder keeps the driver beside the tools; an installed system
  // keeps it in the library directory, where the loader finds it by its
  // versioned name.
  return access(beside.c_str(), F_OK) == 0 ? beside : std::string(KEL_DRIVER_SONAME);
#endif
}

bool DriverModule::Load(const std::string& path) {
  const std::string file = path.empty() ? DefaultDriver() : path;
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(file.c_str());
  if (module == nullptr) {
    error_ = "cannot load " + file + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  module_ = reinterpret_cast<void*>(module);
#else
  void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    error_ = "cannot load " + file + (why ? std::string(": ") + why : std::string());
    return false;
  }
  module_ = module;
#endif
  kelMain_ = reinterpret_cast<KelMainFunction>(Symbol("KelMain"));
  if (kelMain_ == nullptr) {
    error_ = file + " has no KelMain";
    return false;
  }
  KelRequest request{nullptr, kRequestGetDriverInfo, 0, 0, &info_};
  if (kelMain_(&request) != 0 || info_.contextSize <= 0) {
    error_ = file + " gave no driver description";
    kelMain_ = nullptr;
    return false;
  }
  return true;
}

void* DriverModule::Symbol(const char* name) const {
  if (module_ == nullptr) return nullptr;
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_), name));
#else
  return dlsym(module_, name);
#endif
}

int32_t DataTypeFor(const std::string& gas, bool block) {
  const char area = gas.size() > 2 ? static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2]))) : ' ';
  if (area == 'F') return kDataType32BitFirst;
  const bool registerArea = area == 'R' || area == 'L' || area == 'O';
  if (block) return kDataTypeWord;
  if (registerArea) return gas.size() > 8 && gas[8] != ' ' ? kDataTypeDigital : kDataTypeWord;
  return kDataTypeDigital;
}

Board::Board(const DriverModule& module, int32_t board)
    : kelMain_(module.kelMain()), board_(board), context_(module.ContextSize(), 0) {}

int32_t Board::Call(uint32_t code, void* params) {
  KelRequest request{Context(), code, board_, 0, params};
  return kelMain_(&request);
}

int32_t Board::Load(const std::string& port, int32_t readTimeoutMs, LineOptions line) {
  LoadParams params{};
  if (port.size() >= sizeof params.portName) return 2;
  std::snprintf(params.portName, sizeof params.portName, "%s", port.c_str());
  params.portInUse = port.empty() ? 0 : 1;
  params.readTimeout = readTimeoutMs / 10;
  params.line = LineSettings{line.baudRate, line.dataBits, line.stopBits, line.parity};
  return Call(kRequestLoadDriver, &params);
}

int32_t Board::Close() { return Call(kRequestClosePort, nullptr); }

int32_t Board::WarmStart(int32_t plc) {
  WarmStartParams params{plc};
  return Call(kRequestWarmStart, &params);
}

int32_t Board::Parse(const std::string& gas, int32_t count, bool block, Tag* tag, int32_t dataType) {
  tag->gas = gas;
  tag->count = count;
  tag->block = block || count > 1;
  tag->parsed = ParseRecord{};
  tag->parsed.gas = tag->gas.c_str();
  tag->parsed.dataType = dataType >= 0 ? dataType : DataTypeFor(gas, tag->block);
  tag->parsed.count = count;
  return Call(tag->block ? kRequestParseBlockAddress : kRequestParseAddress, &tag->parsed);
}

int32_t Board::Transfer(uint32_t code, const Tag& tag, size_t first) {
  TagRecord record = TagRecordFor(tag.parsed, tag.count, buffer_.data() + first);
  record.gas = tag.gas.c_str();  // the parse record's pointer does not follow a copied Tag
  const TagRecord before = record;
  const int32_t result = Call(code, &record);
  recordKept_ = std::memcmp(&before, &record, sizeof record) == 0;
  return result;
}

namespace {

// Where the values start in the host buffer: a single 16-bit value (or bit)
// sits in the second word; blocks and area F's 32-bit values in the first.
size_t FirstValueWord(const Tag& tag) { return !tag.block && tag.parsed.width == 16 ? kSingleValueWord : 0; }

}  // namespace

int32_t Board::Read(const Tag& tag, std::vector<uint16_t>* values) {
  buffer_.assign(tag.Words() + kGuardWords, kGuard);
  const int32_t result = Transfer(tag.block ? kRequestReadBlock : kRequestReadSingle, tag, 0);
  const size_t first = FirstValueWord(tag);
  values->assign(buffer_.begin() + static_cast<long>(first),
                 buffer_.begin() + static_cast<long>(first + tag.Words()));
  return result;
}

int32_t Board::Write(const Tag& tag, const std::vector<uint16_t>& values) {
  buffer_.assign(tag.Words() + kGuardWords, kGuard);
  const size_t first = FirstValueWord(tag);
  for (size_t k = 0; k < tag.Words() && k < values.size(); ++k) buffer_[first + k] = values[k];
  return Transfer(tag.block ? kRequestWriteBlock : kRequestWriteSingle, tag, 0);
}
