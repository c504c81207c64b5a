// The driver module as a SCADA host uses it: loaded by path at run time, its
// description asked for once (request 14), and boards with a zero-filled
// context of the size the driver announces. Tags are parsed once and then
// read and written as often as needed. Used by kelhost, kelgate, the
// benchmark and the end-to-end tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/host_interface.h"

using KelMainFunction = int32_t (*)(KelRequest*);

// The driver's file name on this platform and its path beside this program.
const char* DriverFileName();
std::string DriverBesideProgram();
// What Load("") loads: the driver beside this program when it is there, else
// (Linux) the installed driver by its versioned name.
std::string DefaultDriver();

class DriverModule {
 public:
  // Loads the module at `path` (empty: DefaultDriver()) and asks for its
  // description. False, with Error() saying why, when either fails.
  bool Load(const std::string& path = "");
  const std::string& Error() const { return error_; }
  KelMainFunction kelMain() const { return kelMain_; }
  const DriverInfo& Info() const { return info_; }
  // An export of the loaded module by name; nullptr when it has none.
  void* Symbol(const char* name) const;
  size_t ContextSize() const { return static_cast<size_t>(info_.contextSize); }

 private:
  void* module_ = nullptr;
  KelMainFunction kelMain_ = nullptr;
  DriverInfo info_{};
  std::string error_;
};

// A tag as the host keeps it: its GAS (the driver's records point into it,
// so a Tag is not copied while a request runs) and the parsed address.
struct Tag {
  std::string gas;
  ParseRecord parsed{};
  int32_t count = 1;
  bool block = false;
  // Values the tag carries: one word per element, two for area F.
  size_t Words() const { return static_cast<size_t>(count) * (parsed.width == 32 ? 2 : 1); }
};

// The data type a host gives a tag: 32-bit for area F, digital for a bit
// (a register GAS with a bit digit, or a discrete area), word otherwise.
int32_t DataTypeFor(const std::string& gas, bool block);

struct LineOptions {
  uint16_t baudRate = 19200;
  uint16_t dataBits = 8;
  uint16_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint16_t parity = 1;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

class Board {
 public:
  Board(const DriverModule& module, int32_t board);
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  int32_t Call(uint32_t code, void* params);
  // Request 1. An empty port loads the board without one. A name longer
  // than the driver's 11 characters fails with 2 before the driver sees it:
  // cut short, it would name another device.
  int32_t Load(const std::string& port, int32_t readTimeoutMs = 1000, LineOptions line = {});
  int32_t Close();
  int32_t WarmStart(int32_t plc = 0);
  // Requests 3 and 4 (a block when `block` or count > 1); dataType < 0
  // takes DataTypeFor(gas).
  int32_t Parse(const std::string& gas, int32_t count, bool block, Tag* tag, int32_t dataType = -1);
  // Requests 5/6 and 7/10 on a parsed tag. `values` holds Words() values
  // (a 32-bit value as low word, high word); the host buffer layout is the
  // driver's business and kept here.
  int32_t Read(const Tag& tag, std::vector<uint16_t>* values);
  int32_t Write(const Tag& tag, const std::vector<uint16_t>& values);
  // The host buffer as the last request left it, with the words around the
  // values (tests check that nothing outside the values was touched).
  const std::vector<uint16_t>& LastBuffer() const { return buffer_; }
  // False when the last request changed the host's TagRecord.
  bool RecordKept() const { return recordKept_; }

  DriverContext* Context() { return reinterpret_cast<DriverContext*>(context_.data()); }
  int32_t Number() const { return board_; }

 private:
  int32_t Transfer(uint32_t code, const Tag& tag, size_t first);

  KelMainFunction kelMain_;
  int32_t board_;
  std::vector<unsigned char> context_;
  std::vector<uint16_t> buffer_;
  bool recordKept_ = true;
};
