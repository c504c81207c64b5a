// The driver module as a host loads it at run time (libderevu1.so or
// DEREVU1.DLL beside this program), and one board of that host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/host_interface.h"

using KelMainFunction = int32_t (*)(KelRequest*);

// KelMain of the loaded module; nullptr when it cannot be loaded.
KelMainFunction LoadedKelMain();

// The port the end-to-end run gives us (KEL_E2E_PORT), and the board whose
// network file describes the simulated stations (KEL_E2E_BOARD).
std::string E2ePort();
int32_t E2eBoard();

struct TagResult {
  int32_t result;
  std::vector<uint16_t> values;  // the host buffer after the request
};

class HostBoard {
 public:
  explicit HostBoard(int32_t board);
  int32_t Call(uint32_t code, void* params);
  int32_t Load(const std::string& port, int32_t readTimeout = 100, LineSettings line = {19200, 8, 0, 0});
  // Parses a GAS (request 3, or 4 for a block); result and record.
  int32_t Parse(const std::string& gas, int32_t dataType, int32_t count, bool block, ParseRecord* record);
  // Runs a read or write request on a parsed tag with the host buffer given.
  TagResult Transfer(uint32_t code, const ParseRecord& record, int32_t count, std::vector<uint16_t> buffer);

 private:
  int32_t board_;
  std::vector<unsigned char> context_;
  std::string gas_;
};
