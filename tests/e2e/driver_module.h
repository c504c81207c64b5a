// The end-to-end tests' host: the driver module loaded by the host module
// (host/driver_module.h), the port and board the run gives us, and a board
// whose requests the tests shape byte by byte (buffers of their own choosing).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/driver_module.h"

// The loaded module; KelMain of it is nullptr when it cannot be loaded.
const DriverModule& LoadedModule();
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
  explicit HostBoard(int32_t board) : board_(LoadedModule(), board) {}
  int32_t Call(uint32_t code, void* params) { return board_.Call(code, params); }
  int32_t Load(const std::string& port, int32_t readTimeout = 100, LineSettings line = {19200, 8, 0, 0}) {
    return board_.Load(port, readTimeout * 10, LineOptions{line.baudRate, line.dataBits, line.stopBits, line.parity});
  }
  // Parses a GAS (request 3, or 4 for a block); result and record.
  int32_t Parse(const std::string& gas, int32_t dataType, int32_t count, bool block, ParseRecord* record);
  // Runs a read or write request on a parsed tag with the host buffer given.
  TagResult Transfer(uint32_t code, const ParseRecord& record, int32_t count, std::vector<uint16_t> buffer);

 private:
  Board board_;
  Tag tag_;
};
