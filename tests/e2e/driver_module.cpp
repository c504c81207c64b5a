#include "tests/e2e/driver_module.h"

#include <cstdlib>
#include <cstring>

const DriverModule& LoadedModule() {
  static const DriverModule module = [] {
    DriverModule loaded;
    loaded.Load();
    return loaded;
  }();
  return module;
}

KelMainFunction LoadedKelMain() { return LoadedModule().kelMain(); }

std::string E2ePort() {
  const char* port = std::getenv("KEL_E2E_PORT");
  return port ? port : "";
}

int32_t E2eBoard() {
  const char* board = std::getenv("KEL_E2E_BOARD");
  return board ? std::atoi(board) : 77;
}

int32_t HostBoard::Parse(const std::string& gas, int32_t dataType, int32_t count, bool block, ParseRecord* record) {
  const int32_t result = board_.Parse(gas, count, block, &tag_, dataType);
  *record = tag_.parsed;
  return result;
}

TagResult HostBoard::Transfer(uint32_t code, const ParseRecord& record, int32_t count, std::vector<uint16_t> buffer) {
  TagRecord tag = TagRecordFor(record, count, buffer.data());
  const TagRecord before = tag;
  TagResult outcome{Call(code, &tag), {}};
  // The requests never change the host's record.
  if (std::memcmp(&before, &tag, sizeof tag) != 0) outcome.result = -1000;
  outcome.values = std::move(buffer);
  return outcome;
}
