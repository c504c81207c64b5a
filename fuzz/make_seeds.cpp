// Writes the seed corpora of the fuzz targets: real exchanges of the driver
// with the simulator's stations (frames with their right BCCs, as the
// simulator builds them), recorded in the targets' input layout, and GAS
// texts and network files.
//
//   fuzz_make_seeds OUTDIR     -> OUTDIR/snp_read/..., OUTDIR/parse/..., ...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "sim/engine.h"

namespace {

using kelfuzz::Direction;
using kelfuzz::TagChoice;
using Seed = std::vector<uint8_t>;

void WriteSeed(const std::filesystem::path& folder, int number, const Seed& seed) {
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / ("seed_" + std::to_string(number)), std::ios::binary);
  out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
}

// One exchange of the driver with the simulated stations: every write goes to
// the engine, and what the stations send back is the recorded answer.
// A fault set on the stations first leads the exchange down a failure path.
struct Misbehaviour {
  void (*apply)(plcsim::Faults&) = nullptr;
  std::size_t textBufferData = 256;  // data bytes per SNP text buffer
};

Seed RecordExchange(const TagChoice& choice, int station, Direction direction, const Misbehaviour& misbehaviour = {}) {
  plcsim::EngineConfig config;
  config.pattern = true;
  config.textBufferData = misbehaviour.textBufferData;
  plcsim::Engine engine({{kelfuzz::kSnpStation, kelfuzz::kSnpId, plcsim::Protocol::Snp},
                         {kelfuzz::kSnpxStation, kelfuzz::kSnpxId, plcsim::Protocol::Snpx}},
                        config);
  if (misbehaviour.apply != nullptr) {
    for (plcsim::Station& s : engine.Stations()) misbehaviour.apply(s.faults);
  }
  plcsim::TimePoint now{};
  const Seed header = kelfuzz::EncodeTagChoice(choice);
  Seed seed = header;
  const kelfuzz::Peer peer = [&](std::span<const uint8_t> written) {
    now += std::chrono::milliseconds(10);
    engine.Receive(written, now);
    now += std::chrono::milliseconds(100);
    std::vector<uint8_t> reply;
    for (const plcsim::Transmission& t : engine.TakeDue(now)) reply.insert(reply.end(), t.bytes.begin(), t.bytes.end());
    const std::vector<uint8_t> chunk = kelfuzz::EncodeReply(reply);
    seed.insert(seed.end(), chunk.begin(), chunk.end());
    return reply;
  };
  const int32_t result = kelfuzz::RunExchange(header.data(), header.size(), station, direction, &peer);
  // Every recorded exchange without a fault is one the driver completes.
  if (result != 0 && misbehaviour.apply == nullptr) {
    std::fprintf(stderr, "fuzz_make_seeds: %s of %s gave %d\n", direction == Direction::kRead ? "read" : "write",
                 kelfuzz::GasOf(station, choice).c_str(), static_cast<int>(result));
    std::exit(1);
  }
  return seed;
}

TagChoice Choice(bool block, uint8_t area, uint32_t element, uint8_t bitDigit, uint8_t dataType, uint16_t count,
                 bool attached = false) {
  TagChoice choice;
  choice.block = block;
  choice.area = area;
  choice.elementNumber = element;
  choice.bitDigit = bitDigit;
  choice.dataType = dataType;
  choice.count = count;
  choice.attached = attached;
  return choice;
}

// Areas by their index in "RLOFIQTMGABCD".
constexpr uint8_t kR = 0, kL = 1, kO = 2, kF = 3, kI = 4, kQ = 5, kM = 7, kG = 8, kD = 12;

std::vector<TagChoice> ExchangeChoices() {
  return {
      Choice(false, kR, 1, 0, 0, 1),         // one register
      Choice(false, kR, 10, 6, 6, 1),        // bit 5 of %R10
      Choice(false, kM, 17, 0, 6, 1),        // %M17
      Choice(false, kI, 1, 0, 6, 1),         // %I1
      Choice(false, kF, 3, 0, 3, 1),         // a 32-bit value
      Choice(true, kR, 1, 0, 0, 3),          // three registers: mailbox data
      Choice(true, kL, 5, 0, 0, 10),         // ten %AI words: one text buffer
      Choice(true, kO, 1, 0, 0, 200),        // two text buffers / a long frame
      Choice(true, kF, 1, 0, 3, 4),          // four 32-bit values
      Choice(true, kQ, 17, 0, 6, 4),         // %Q words
      Choice(true, kG, 1, 0, 6, 1),          // one %G word
      Choice(true, kD, 1, 0, 6, 2),          // %S words
      Choice(true, kR, 1, 0, 0, 256),        // the longest SNPX block
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  kelfuzz::SilenceDriverLog();
  const std::filesystem::path out = argv[1];
  struct Target {
    const char* name;
    int station;
    Direction direction;
  };
  const Target targets[] = {{"snp_read", kelfuzz::kSnpStation, Direction::kRead},
                            {"snp_write", kelfuzz::kSnpStation, Direction::kWrite},
                            {"snpx_read", kelfuzz::kSnpxStation, Direction::kRead},
                            {"snpx_write", kelfuzz::kSnpxStation, Direction::kWrite}};
  for (const Target& target : targets) {
    int number = 0;
    for (const TagChoice& choice : ExchangeChoices()) {
      // The driver refuses block writes of several elements outside R, L, O and F.
      const bool registers = choice.area <= kF;
      if (target.direction == Direction::kWrite && choice.block && choice.count > 1 && !registers) continue;
      WriteSeed(out / target.name, number++, RecordExchange(choice, target.station, target.direction));
    }
    // Failure paths: a PLC error, a NAK, a wrong BCC, a cut reply, and for
    // SNP reads text buffers that never end (short ones, so the chain fits
    // an input).
    const Misbehaviour faults[] = {
        {[](plcsim::Faults& f) { f.ErrorNack(4, 3, 1); }},
        {[](plcsim::Faults& f) { f.ErrorStatus(0x0304, 1); }},
        {[](plcsim::Faults& f) { f.NakRequests(1, 0x02); }},
        {[](plcsim::Faults& f) { f.CorruptBcc(1); }},
        {[](plcsim::Faults& f) { f.Truncate(1, 11); }},
        {[](plcsim::Faults& f) { f.TextWithoutT(1); }},
        {[](plcsim::Faults& f) { f.EndlessText(1); }, 8},
    };
    for (const Misbehaviour& misbehaviour : faults) {
      for (const TagChoice& choice : {Choice(true, kR, 1, 0, 0, 100), Choice(false, kR, 10, 6, 6, 1)}) {
        WriteSeed(out / target.name, number++, RecordExchange(choice, target.station, target.direction, misbehaviour));
      }
    }
  }

  // Parse: flags (bit 0 block, bit 1 network file), data type, count, GAS.
  struct ParseSeed {
    uint8_t flags;
    int32_t dataType;
    int32_t count;
    const char* gas;
  };
  const ParseSeed parses[] = {{0, 0, 0, "00R00001"},  {2, 0, 0, "01r00001"},   {2, 6, 0, "01R000105"},
                              {2, 3, 0, "01F00001"},  {2, 6, 0, "01M00017"},   {3, 0, 500, "01R00001"},
                              {3, 0, 256, "02R00001"}, {3, 3, 250, "01F00001"}, {3, 6, 4, "02M00017"},
                              {2, 6, 0, "64D99999 "}, {0, 0, 0, "01R0000100"}, {2, 3, 0, "01F000031"}};
  int number = 0;
  for (const ParseSeed& p : parses) {
    Seed seed{p.flags};
    for (int shift = 0; shift < 32; shift += 8) seed.push_back(static_cast<uint8_t>(p.dataType >> shift));
    for (int shift = 0; shift < 32; shift += 8) seed.push_back(static_cast<uint8_t>(p.count >> shift));
    for (const char* c = p.gas; *c != '\0'; ++c) seed.push_back(static_cast<uint8_t>(*c));
    WriteSeed(out / "parse", number++, seed);
  }

  const char* networks[] = {"01PLCA\n02PLCB*\n", "WAIT50\n01PLCA\n", "RTS\r\n64ABCDEFGH\r\n03X*\n",
                            "wait1000\n01plca\n01B\n", "01PLCA\n\n02PLCB\n", "WAIT5\n01 P L C A\n"};
  number = 0;
  for (const char* text : networks) {
    const std::string s = text;
    WriteSeed(out / "network_file", number++, Seed(s.begin(), s.end()));
  }
  return 0;
}
