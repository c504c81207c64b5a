// Two boards on two threads: each has its own context, pseudo-terminal and
// simulator with an SNP and an SNPX station, and the host drives both at once
// through KelMain for a few seconds. Every value read must be the simulator's
// and every value written must land; built also under ThreadSanitizer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_interface.h"
#include "host_api/kalvro.h"
#include "sim/simulator.h"

namespace {

using plcsim::Area;
using Clock = std::chrono::steady_clock;

constexpr const char* kNetwork = "01PLCA\n02PLCB*\n";

void Quiet(void*, int, const char*) {}

struct BoardRun {
  int32_t board = 0;
  std::unique_ptr<plcsim::Simulator> sim;
  std::array<uint8_t, 1300> context{};  // the size the driver announces, zero-filled by the host
  long requests = 0;
  std::vector<std::string> faults;  // what went wrong, for the report

  DriverContext* Context() { return reinterpret_cast<DriverContext*>(context.data()); }

  int32_t Call(uint32_t code, void* params) {
    KelRequest request{Context(), code, board, 0, params};
    ++requests;
    return KelMain(&request);
  }

  bool Parse(TagRecord& tag, const std::string& gas, int32_t dataType, int32_t count) {
    ParseRecord parse{};
    parse.gas = gas.c_str();
    parse.dataType = dataType;
    parse.count = count;
    if (Call(count > 0 ? kRequestParseBlockAddress : kRequestParseAddress, &parse) != 0) return false;
    tag = TagRecordFor(parse, count);
    return true;
  }

  void Fail(const std::string& what) {
    if (faults.size() < 20) faults.push_back("board " + std::to_string(board) + ": " + what);
  }

  // Writes a block of registers, reads it back, and compares both with the
  // simulator's memory; then a bit in a register word and a discrete bit.
  void Round(std::mt19937& rng, int station) {
    const int count = 1 + static_cast<int>(rng() % 40);
    const uint32_t first = static_cast<uint32_t>(rng() % 1000);
    char gas[16];
    std::snprintf(gas, sizeof gas, "%02dR%05u", station, first + 1);
    const std::string blockGas = gas;
    TagRecord tag{};
    if (!Parse(tag, blockGas, 0, count)) return Fail("parse " + blockGas);
    std::vector<uint16_t> values(static_cast<size_t>(count));
    for (uint16_t& v : values) v = static_cast<uint16_t>(rng());
    tag.data = values.data();
    if (const int32_t rc = Call(kRequestWriteBlock, &tag); rc != 0) return Fail("write " + blockGas + " rc " + std::to_string(rc));
    if (sim->Plc(station).Words(Area::R, first, values.size()) != values) return Fail("write " + blockGas + " did not land");
    std::vector<uint16_t> read(values.size(), 0xDEAD);
    tag.data = read.data();
    if (const int32_t rc = Call(kRequestReadBlock, &tag); rc != 0) return Fail("read " + blockGas + " rc " + std::to_string(rc));
    if (read != values) return Fail("read " + blockGas + " gave other values");

    const int bit = static_cast<int>(rng() % 16);
    const uint16_t on = static_cast<uint16_t>(rng() % 2);
    std::snprintf(gas, sizeof gas, "%02dR%05u%X", station, first + 1, bit);
    const std::string bitGas = gas;
    TagRecord bitTag{};
    if (!Parse(bitTag, bitGas, 6, 0)) return Fail("parse " + bitGas);
    std::array<uint16_t, 2> single{0, on};
    bitTag.data = single.data();
    if (Call(kRequestWriteSingle, &bitTag) != 0) return Fail("write " + bitGas);
    const uint16_t mask = static_cast<uint16_t>(1u << bit);
    const uint16_t expected = on ? static_cast<uint16_t>(values[0] | mask) : static_cast<uint16_t>(values[0] & ~mask);
    if (sim->Plc(station).Word(Area::R, first) != expected) return Fail("bit write " + bitGas + " did not land");

    const uint32_t m = static_cast<uint32_t>(rng() % 4000);
    sim->Plc(station).SetBit(Area::M, m, (rng() & 1) != 0);
    std::snprintf(gas, sizeof gas, "%02dM%05u", station, m + 1);
    const std::string discreteGas = gas;
    TagRecord discrete{};
    if (!Parse(discrete, discreteGas, 6, 0)) return Fail("parse " + discreteGas);
    single = {0x7777, 0x7777};
    discrete.data = single.data();
    if (Call(kRequestReadSingle, &discrete) != 0) return Fail("read " + discreteGas);
    if (single[1] != (sim->Plc(station).Bit(Area::M, m) ? 1 : 0) || single[0] != 0x7777) {
      return Fail("read " + discreteGas + " gave " + std::to_string(single[1]));
    }
  }

  void Drive(Clock::time_point until, uint32_t seed) {
    std::mt19937 rng(seed);
    LoadParams params{};
    std::snprintf(params.portName, sizeof params.portName, "%s", sim->PortName().c_str());
    params.portInUse = 1;
    params.readTimeout = 100;
    params.line = LineSettings{19200, 8, 0, 0};
    if (Call(kRequestLoadDriver, &params) != 0) return Fail("load on " + sim->PortName());
    int station = 1;
    while (Clock::now() < until && faults.empty()) {
      Round(rng, station);
      station = 3 - station;  // SNP and SNPX take turns
    }
    Call(kRequestClosePort, &params);
  }
};

TEST(TwoBoards, DrivenAtOnceOnTwoThreadsEveryValueRight) {
  KalSetErrSink(&Quiet, nullptr);
  // The driver reads each board's network file from the current folder.
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("kel_two_boards." + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);

  std::array<BoardRun, 2> boards;
  for (size_t k = 0; k < boards.size(); ++k) {
    boards[k].board = 81 + static_cast<int32_t>(k);
    std::ofstream("kelG1" + std::to_string(boards[k].board) + ".int") << kNetwork;
    plcsim::SimulatorOptions options;
    options.stations = plcsim::ParseNetworkText(kNetwork);
    boards[k].sim = std::make_unique<plcsim::Simulator>(options);
  }
  const auto until = Clock::now() + std::chrono::seconds(3);
  std::thread first([&] { boards[0].Drive(until, 11); });
  std::thread second([&] { boards[1].Drive(until, 22); });
  first.join();
  second.join();

  for (BoardRun& board : boards) {
    for (const std::string& fault : board.faults) ADD_FAILURE() << fault;
    EXPECT_GE(board.requests, 20) << "board " << board.board << " hardly ran";
    std::printf("board %d: %ld requests\n", static_cast<int>(board.board), board.requests);
    board.sim->Stop();
  }
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(folder);
  KalSetErrSink(nullptr, nullptr);
}

}  // namespace
