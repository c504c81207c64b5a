// The fault soak: the driver through KelMain against the simulator on a
// pseudo-terminal, a network of SNP and SNPX stations, thousands of requests
// of every kind with faults injected at random. After every request it checks
// the host's buffer and TagRecord, the simulator's memory and the time taken,
// and at the end prints what it did and found.
//
//   kel_soak [--requests N] [--seed S] [--fault-rate R] [--verbose]
//
// Exit status 0 when every rule held; 1 when one broke (each case is printed).
// A wrong value reported good in a request whose reply was corrupted in a way
// its check character cannot see is counted apart: the 8-bit check lets such
// corruption through, and no driver can tell.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "driver/host_interface.h"
#include "host_api/kalvro.h"
#include "sim/simulator.h"

namespace {

using plcsim::Area;
using SteadyClock = std::chrono::steady_clock;

constexpr int32_t kBoard = 91;
constexpr const char* kNetwork = "WAIT10\n01PLCA\n02PLCB*\n03PLCC\n04PLCD*\n";
constexpr int kStations = 4;
bool IsSnpx(int station) { return station == 2 || station == 4; }

// Timing of the line, in ms, from which the bound of every request follows.
// The load asks for 150 ms, and the driver raises its normal read timeout to
// its 1 s floor; the network file sets the attach-response wait to 100 ms.
constexpr double kReadTimeout = 1000;  // T: one read waits at most this long
constexpr double kAttachWait = 100;    // W: one attach response
constexpr double kPurge = 50;          // P: a purge that finds input reads 50 ms chunks until one is short
constexpr double kBreak = 20;          // the line break before an attach
constexpr double kPauseAfterBreak = 100;
constexpr double kPauseAfterBroadcast = 100;
constexpr double kSnpReadPause = 20, kSnpWritePause = 50, kSnpxPause = 20;  // between tries
constexpr int kTries = 3, kSnpAttachTries = 8, kMaxTextBuffers = 50;
constexpr double kStep = 5;  // scheduling slack allowed per blocking step

// Worst cases: every read runs to its timeout, every purge finds input.
constexpr double kSnpAttach = kSnpAttachTries * (kBreak + kPauseAfterBreak + kPurge + kAttachWait + 4 * kStep);
constexpr double kSnpxAttach = 2 * kPurge + kBreak + kPauseAfterBreak + kPauseAfterBroadcast + 5 * kStep;
constexpr double kControl = 2 * kPurge + 2 * kReadTimeout + 4 * kStep;  // Short Status, Change Privilege
// mailbox, ACK, reply, its ACK, then text buffers each read and acknowledged
constexpr double kSnpRead =
    kTries * (kSnpReadPause + kSnpAttach + 2 * (kPurge + kReadTimeout) + kMaxTextBuffers * (kReadTimeout + kPurge) +
              (4 + 2 * kMaxTextBuffers) * kStep);
// retry purge and pause, attach, two control exchanges, mailbox with text,
// ACK, text buffer, ACK, reply, its ACK
constexpr double kSnpWrite =
    kTries * (kPurge + kSnpWritePause + kSnpAttach + 2 * kControl + 3 * (kPurge + kReadTimeout) + 8 * kStep);
constexpr double kSnpReadWord = kTries * (kSnpReadPause + kSnpAttach + 4 * kPurge + 2 * kReadTimeout + 6 * kStep);
// purge, send, purge, header, rest of header, data, trailer, purge
constexpr double kSnpxExchange = 3 * kPurge + 4 * kReadTimeout + 7 * kStep;
constexpr double kSnpxRead = kTries * (kSnpxPause + kSnpxAttach + kSnpxExchange);
constexpr double kSnpxWrite = kTries * (kSnpxPause + kSnpxAttach + 2 * kSnpxExchange);

enum class Kind {
  kReadWord, kReadRegisterBit, kReadDiscreteBit, kReadDouble, kReadBlock, kReadDiscreteBlock, kReadDoubleBlock,
  kWriteWord, kWriteRegisterBit, kWriteDiscreteBit, kWriteDouble, kWriteBlock, kWriteDoubleBlock, kCount
};
const char* const kKindNames[] = {"read word",        "read bit in register", "read discrete bit",
                                  "read 32-bit",      "read block",           "read discrete block",
                                  "read 32-bit block", "write word",          "write bit in register",
                                  "write discrete bit", "write 32-bit",       "write block",
                                  "write 32-bit block"};
bool IsWrite(Kind kind) { return kind >= Kind::kWriteWord; }
bool IsBlock(Kind kind) {
  return kind == Kind::kReadBlock || kind == Kind::kReadDiscreteBlock || kind == Kind::kReadDoubleBlock ||
         kind == Kind::kWriteBlock || kind == Kind::kWriteDoubleBlock;
}

enum class Fault {
  kNone, kFlip1, kFlip2, kFlip3, kDrop, kInsert, kTruncate, kNoise, kBadBcc, kNak, kError, kSilent,
  kDelayAttachIn, kDelayAttachOut, kDelayReadIn, kDelayReadOut, kEndless, kNoT, kCount
};
const char* const kFaultNames[] = {"none",
                                   "1 bit flipped",
                                   "2 bits flipped",
                                   "3 bits flipped",
                                   "byte lost",
                                   "byte added",
                                   "truncated reply",
                                   "noise before reply",
                                   "wrong BCC",
                                   "NAK",
                                   "error nack / status",
                                   "silent station",
                                   "delay W-30 ms",
                                   "delay W+30 ms",
                                   "delay T-60 ms",
                                   "delay T+40 ms",
                                   "endless text buffers",
                                   "text buffer without T"};

struct AreaPick {
  char letter;
  Area area;
  uint32_t words;  // words in the simulator (discrete: 16-bit words)
};
const AreaPick kRegisterAreas[] = {{'R', Area::R, 16384}, {'L', Area::AI, 4096}, {'O', Area::AQ, 4096}};
const AreaPick kDiscreteAreas[] = {{'I', Area::I, 128},  {'Q', Area::Q, 128},  {'T', Area::T, 64},
                                   {'M', Area::M, 512},  {'G', Area::G, 480},  {'A', Area::SA, 8},
                                   {'B', Area::SB, 8},   {'C', Area::SC, 8},   {'D', Area::S, 8}};

using Memory = std::vector<std::vector<uint8_t>>;  // station, area, byte

struct Plan {
  int station = 1;
  Kind kind = Kind::kReadWord;
  AreaPick area{};
  uint32_t elementNumber = 1;  // as the GAS spells it
  int bit = -1;                // register bit digit
  int count = 1;
  std::string gas;
  int32_t dataType = 0;
  // Where the values lie in the host's buffer, in words from data.
  size_t first = 1, words = 1;
};

struct Totals {
  long requests = 0;
  std::array<long, static_cast<size_t>(Kind::kCount)> byKind{}, failedByKind{};
  std::array<long, static_cast<size_t>(Fault::kCount)> armed{}, applied{};
  std::map<int, long> results;
  long corruptedReplies = 0, undetectedCorruptions = 0;
  long wrongGood = 0, wrongGoodUndetectable = 0, broken = 0;
  double longestMs = 0, longestBound = 0, worstRatio = 0;
  std::string longestWhat, worstWhat;
};

class Soak {
 public:
  Soak(plcsim::Simulator& sim, uint32_t seed, double faultRate, bool verbose)
      : sim_(sim), rng_(seed), faultRate_(faultRate), verbose_(verbose) {}

  bool Load() {
    LoadParams params{};
    std::snprintf(params.portName, sizeof params.portName, "%s", sim_.PortName().c_str());
    params.portInUse = 1;
    params.readTimeout = 15;
    params.line = LineSettings{19200, 8, 0, 1};
    KelRequest request{context(), kRequestLoadDriver, kBoard, 0, &params};
    return KelMain(&request) == 0;
  }

  void Run(long requests) {
    int station = 1;
    int runLeft = 0;
    for (long n = 0; n < requests; ++n) {
      // A host scans its tags station by station.
      if (runLeft-- <= 0) {
        station = 1 + static_cast<int>(rng_() % kStations);
        runLeft = 10 + static_cast<int>(rng_() % 30);
      }
      One(station);
    }
  }

  const Totals& totals() const { return totals_; }

 private:
  DriverContext* context() { return reinterpret_cast<DriverContext*>(contextBytes_.data()); }
  uint32_t Random(uint32_t below) { return below == 0 ? 0 : static_cast<uint32_t>(rng_() % below); }

  int SmallCount(int limit) {
    const int n = Random(5) == 0 ? 1 + static_cast<int>(Random(static_cast<uint32_t>(limit))) : 1 + static_cast<int>(Random(8));
    return std::min(n, limit);
  }

  Plan MakePlan(int station) {
    Plan plan;
    plan.station = station;
    plan.kind = static_cast<Kind>(Random(static_cast<uint32_t>(Kind::kCount)));
    const bool snpx = IsSnpx(station);
    const AreaPick& reg = kRegisterAreas[Random(3)];
    // Writes of %S are left to the PLC to refuse; the soak writes elsewhere.
    const AreaPick& dis = kDiscreteAreas[Random(IsWrite(plan.kind) ? 8 : 9)];
    switch (plan.kind) {
      case Kind::kReadWord:
      case Kind::kWriteWord:
        plan.area = reg;
        plan.elementNumber = 1 + Random(reg.words);
        break;
      case Kind::kReadRegisterBit:
      case Kind::kWriteRegisterBit:
        plan.area = reg;
        plan.elementNumber = 1 + Random(reg.words);
        plan.bit = static_cast<int>(Random(16));
        plan.dataType = 6;
        break;
      case Kind::kReadDiscreteBit:
      case Kind::kWriteDiscreteBit:
        plan.area = dis;
        plan.elementNumber = 1 + Random(dis.words * 16);
        plan.dataType = 6;
        break;
      case Kind::kReadDouble:
      case Kind::kWriteDouble:
        plan.area = AreaPick{'F', Area::R, 16384};
        plan.elementNumber = 1 + 2 * Random(8192);
        plan.dataType = 3;
        break;
      case Kind::kReadBlock:
      case Kind::kWriteBlock: {
        plan.area = reg;
        plan.count = SmallCount(snpx ? 256 : 500);
        plan.elementNumber = 1 + Random(reg.words - static_cast<uint32_t>(plan.count) + 1);
        break;
      }
      case Kind::kReadDiscreteBlock: {
        plan.area = dis;
        plan.count = SmallCount(std::min(static_cast<int>(dis.words), snpx ? 256 : 500));
        const uint32_t word = Random(dis.words - static_cast<uint32_t>(plan.count) + 1);
        plan.elementNumber = 16 * word + 1 + Random(16);
        plan.dataType = 6;
        break;
      }
      case Kind::kReadDoubleBlock:
      case Kind::kWriteDoubleBlock: {
        plan.area = AreaPick{'F', Area::R, 16384};
        plan.count = SmallCount(snpx ? 128 : 250);
        plan.elementNumber = 1 + 2 * Random(8192 - static_cast<uint32_t>(plan.count) + 1);
        plan.dataType = 3;
        break;
      }
      case Kind::kCount: break;
    }
    char gas[16];
    std::snprintf(gas, sizeof gas, "%02d%c%05u", station, plan.area.letter, plan.elementNumber);
    plan.gas = gas;
    if (plan.bit >= 0) plan.gas += "0123456789ABCDEF"[plan.bit];
    if (plan.area.letter == 'F') {
      plan.first = 0;  // a 32-bit value fills the first two words, single or block
      plan.words = 2 * static_cast<size_t>(plan.count);
    } else if (IsBlock(plan.kind)) {
      plan.first = 0;
      plan.words = static_cast<size_t>(plan.count);
    }
    return plan;
  }

  Fault PickFault(const Plan& plan) {
    if (Random(1000) >= static_cast<uint32_t>(faultRate_ * 1000)) return Fault::kNone;
    const bool snp = !IsSnpx(plan.station);
    const bool textRead = snp && !IsWrite(plan.kind) && plan.words * 2 > 6;
    for (;;) {
      const auto fault = static_cast<Fault>(1 + Random(static_cast<uint32_t>(Fault::kCount) - 1));
      if (fault == Fault::kNak && !snp) continue;
      if ((fault == Fault::kEndless || fault == Fault::kNoT) && !textRead) continue;
      if ((fault == Fault::kDelayAttachIn || fault == Fault::kDelayAttachOut) && !snp) continue;
      // A silent station costs every try of every attach: kept rare.
      if (fault == Fault::kSilent && Random(4) != 0) continue;
      return fault;
    }
  }

  void Arm(int station, Fault fault, int count) {
    sim_.Plc(station).ChangeFaults([&](plcsim::Faults& f) {
      switch (fault) {
        case Fault::kFlip1: f.FlipBits(1, count); break;
        case Fault::kFlip2: f.FlipBits(2, count); break;
        case Fault::kFlip3: f.FlipBits(3, count); break;
        case Fault::kDrop: f.DropByte(count); break;
        case Fault::kInsert: f.InsertByte(count); break;
        case Fault::kTruncate: f.Truncate(count); break;
        case Fault::kNoise: f.Noise(1 + Random(12), count); break;
        case Fault::kBadBcc: f.CorruptBcc(count); break;
        case Fault::kNak: f.NakRequests(count, static_cast<uint8_t>(Random(3))); break;
        case Fault::kError:
          if (IsSnpx(station)) {
            f.ErrorStatus(static_cast<uint16_t>(0x0100 + Random(0xFE00)), count);
          } else {
            f.ErrorNack(static_cast<uint8_t>(1 + Random(16)), static_cast<uint8_t>(Random(256)), count);
          }
          break;
        case Fault::kSilent: f.silent = true; break;
        case Fault::kDelayAttachIn: f.Delay(std::chrono::milliseconds(70), count); break;
        case Fault::kDelayAttachOut: f.Delay(std::chrono::milliseconds(130), count); break;
        case Fault::kDelayReadIn: f.Delay(std::chrono::milliseconds(940), count); break;
        case Fault::kDelayReadOut: f.Delay(std::chrono::milliseconds(1040), count); break;
        case Fault::kEndless: f.EndlessText(count); break;
        case Fault::kNoT: f.TextWithoutT(count); break;
        case Fault::kNone:
        case Fault::kCount: break;
      }
    });
  }

  // True when the armed fault was used at least once.
  bool Used(int station, Fault fault, int count) {
    return sim_.Locked([&](plcsim::Engine& engine) {
      const plcsim::Faults& f = engine.At(station).faults;
      auto used = [count](const plcsim::Countdown& c) { return c.Remaining() != count; };
      switch (fault) {
        case Fault::kFlip1:
        case Fault::kFlip2:
        case Fault::kFlip3: return used(f.flip);
        case Fault::kDrop: return used(f.dropByte);
        case Fault::kInsert: return used(f.insertByte);
        case Fault::kTruncate: return used(f.truncate);
        case Fault::kNoise: return used(f.noise);
        case Fault::kBadBcc: return used(f.badBcc);
        case Fault::kNak: return used(f.nak);
        case Fault::kError: return used(f.error);
        case Fault::kSilent: return true;
        case Fault::kDelayAttachIn:
        case Fault::kDelayAttachOut:
        case Fault::kDelayReadIn:
        case Fault::kDelayReadOut: return used(f.delay);
        case Fault::kEndless: return used(f.endlessText);
        case Fault::kNoT: return used(f.textWithoutT);
        case Fault::kNone:
        case Fault::kCount: break;
      }
      return false;
    });
  }

  Memory Snapshot() {
    return sim_.Locked([](plcsim::Engine& engine) {
      Memory memory;
      for (int station = 1; station <= kStations; ++station) {
        const plcsim::PlcMemory& m = engine.At(station).memory;
        for (size_t a = 0; a < plcsim::kAreaCount; ++a) {
          const auto area = static_cast<Area>(a);
          std::vector<uint8_t> bytes(m.ByteSize(area));
          for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = m.Byte(area, i);
          memory.push_back(std::move(bytes));
        }
      }
      return memory;
    });
  }

  static std::vector<uint8_t>& AreaOf(Memory& memory, int station, Area area) {
    return memory[static_cast<size_t>(station - 1) * plcsim::kAreaCount + static_cast<size_t>(area)];
  }
  static uint16_t WordOf(Memory& memory, int station, Area area, size_t index) {
    const std::vector<uint8_t>& bytes = AreaOf(memory, station, area);
    return static_cast<uint16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
  }
  static void SetWordOf(Memory& memory, int station, Area area, size_t index, uint16_t value) {
    std::vector<uint8_t>& bytes = AreaOf(memory, station, area);
    bytes[2 * index] = static_cast<uint8_t>(value & 0xFF);
    bytes[2 * index + 1] = static_cast<uint8_t>(value >> 8);
  }

  // The values a good read gives, from the memory before the request.
  std::vector<uint16_t> Expected(const Plan& plan, Memory& memory) {
    const int st = plan.station;
    const Area area = plan.area.area;
    const uint32_t e = plan.elementNumber - 1;
    std::vector<uint16_t> values;
    switch (plan.kind) {
      case Kind::kReadWord: values = {WordOf(memory, st, area, e)}; break;
      case Kind::kReadRegisterBit:
        values = {static_cast<uint16_t>(WordOf(memory, st, area, e) >> plan.bit & 1)};
        break;
      case Kind::kReadDiscreteBit: values = {static_cast<uint16_t>(AreaOf(memory, st, area)[e / 8] >> (e % 8) & 1)}; break;
      case Kind::kReadDouble:
      case Kind::kReadDoubleBlock:
        for (size_t k = 0; k < plan.words; ++k) values.push_back(WordOf(memory, st, Area::R, e + k));
        break;
      case Kind::kReadBlock:
        for (int k = 0; k < plan.count; ++k) values.push_back(WordOf(memory, st, area, e + static_cast<uint32_t>(k)));
        break;
      case Kind::kReadDiscreteBlock:
        for (int k = 0; k < plan.count; ++k) values.push_back(WordOf(memory, st, area, e / 16 + static_cast<uint32_t>(k)));
        break;
      default: break;
    }
    return values;
  }

  // The memory after the write lands.
  Memory Landed(const Plan& plan, Memory memory, const std::vector<uint16_t>& values) {
    const int st = plan.station;
    const Area area = plan.area.area;
    const uint32_t e = plan.elementNumber - 1;
    switch (plan.kind) {
      case Kind::kWriteWord: SetWordOf(memory, st, area, e, values[0]); break;
      case Kind::kWriteRegisterBit: {
        uint16_t word = WordOf(memory, st, area, e);
        const auto mask = static_cast<uint16_t>(1u << plan.bit);
        word = (values[0] & 1) != 0 ? static_cast<uint16_t>(word | mask) : static_cast<uint16_t>(word & ~mask);
        SetWordOf(memory, st, area, e, word);
        break;
      }
      case Kind::kWriteDiscreteBit: {
        uint8_t& byte = AreaOf(memory, st, area)[e / 8];
        byte = values[0] != 0 ? static_cast<uint8_t>(byte | 1u << (e % 8)) : static_cast<uint8_t>(byte & ~(1u << (e % 8)));
        break;
      }
      case Kind::kWriteDouble:
      case Kind::kWriteDoubleBlock:
        for (size_t k = 0; k < plan.words; ++k) SetWordOf(memory, st, Area::R, e + k, values[k]);
        break;
      case Kind::kWriteBlock:
        for (int k = 0; k < plan.count; ++k) SetWordOf(memory, st, area, e + static_cast<uint32_t>(k), values[static_cast<size_t>(k)]);
        break;
      default: break;
    }
    return memory;
  }

  double Bound(const Plan& plan) const {
    const bool snpx = IsSnpx(plan.station);
    switch (plan.kind) {
      case Kind::kWriteRegisterBit: return snpx ? kSnpxRead + kSnpxWrite : kSnpReadWord + kSnpWrite;
      default: break;
    }
    if (IsWrite(plan.kind)) return snpx ? kSnpxWrite : kSnpWrite;
    return snpx ? kSnpxRead : kSnpRead;
  }

  int UndetectedSoFar() {
    return sim_.Locked([](plcsim::Engine& engine) {
      int n = 0;
      for (const plcsim::Station& s : engine.Stations()) n += s.stats.undetectedCorruptions;
      return n;
    });
  }
  int CorruptedSoFar() {
    return sim_.Locked([](plcsim::Engine& engine) {
      int n = 0;
      for (const plcsim::Station& s : engine.Stations()) n += s.stats.corruptedReplies;
      return n;
    });
  }

  void Broken(const Plan& plan, Fault fault, const std::string& what) {
    ++totals_.broken;
    std::printf("BROKEN request %ld (%s %s, fault %s): %s\n", totals_.requests, kKindNames[static_cast<int>(plan.kind)],
                plan.gas.c_str(), kFaultNames[static_cast<int>(fault)], what.c_str());
  }

  void One(int station) {
    const Plan plan = MakePlan(station);
    const bool write = IsWrite(plan.kind);
    ++totals_.requests;
    ++totals_.byKind[static_cast<size_t>(plan.kind)];

    // The host parses the tag as it would, and keeps the address.
    ParseRecord parse{};
    parse.gas = plan.gas.c_str();
    parse.dataType = plan.dataType;
    parse.count = plan.count;
    KelRequest request{context(), IsBlock(plan.kind) ? kRequestParseBlockAddress : kRequestParseAddress, kBoard, 0,
                       &parse};
    if (KelMain(&request) != 0) {
      Broken(plan, Fault::kNone, "the tag did not parse");
      return;
    }
    TagRecord tag = TagRecordFor(parse, plan.count);
    tag.gas = plan.gas.c_str();

    constexpr size_t kGuard = 8;
    const size_t valueWords = std::max<size_t>(plan.first + plan.words, 2);
    std::vector<uint16_t> buffer(kGuard + valueWords + kGuard, 0xC3C3);
    std::vector<uint16_t> values(plan.words);
    for (uint16_t& v : values) {
      v = plan.kind == Kind::kWriteRegisterBit || plan.kind == Kind::kWriteDiscreteBit ? static_cast<uint16_t>(Random(2))
                                                                                       : static_cast<uint16_t>(rng_());
    }
    if (write) std::copy(values.begin(), values.end(), buffer.begin() + static_cast<std::ptrdiff_t>(kGuard + plan.first));
    tag.data = buffer.data() + kGuard;
    const std::vector<uint16_t> bufferBefore = buffer;
    TagRecord tagBefore;
    std::memcpy(&tagBefore, &tag, sizeof tag);

    Memory before = Snapshot();
    const Fault fault = PickFault(plan);
    const int faultCount = Random(3) == 0 ? 2 + static_cast<int>(Random(2)) : 1;
    if (fault != Fault::kNone) {
      ++totals_.armed[static_cast<size_t>(fault)];
      Arm(station, fault, faultCount);
    }
    const int undetectedBefore = UndetectedSoFar();
    const int corruptedBefore = CorruptedSoFar();

    const uint32_t code = write ? (IsBlock(plan.kind) ? kRequestWriteBlock : kRequestWriteSingle)
                                : (IsBlock(plan.kind) ? kRequestReadBlock : kRequestReadSingle);
    request = KelRequest{context(), code, kBoard, 0, &tag};
    const auto started = SteadyClock::now();
    const int32_t result = KelMain(&request);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - started).count();

    if (fault != Fault::kNone) {
      if (Used(station, fault, faultCount)) ++totals_.applied[static_cast<size_t>(fault)];
      sim_.Plc(station).ClearFaults();
    }
    const int undetected = UndetectedSoFar() - undetectedBefore;
    totals_.undetectedCorruptions += undetected;
    totals_.corruptedReplies += CorruptedSoFar() - corruptedBefore;
    ++totals_.results[result];
    if (result != 0) ++totals_.failedByKind[static_cast<size_t>(plan.kind)];

    // The time against the bound the protocol allows.
    const double bound = Bound(plan);
    const std::string what = std::string(kKindNames[static_cast<int>(plan.kind)]) + ", " +
                             (IsSnpx(station) ? "SNPX" : "SNP") + ", fault " + kFaultNames[static_cast<int>(fault)];
    if (ms > totals_.longestMs) {
      totals_.longestMs = ms;
      totals_.longestBound = bound;
      totals_.longestWhat = what;
    }
    if (ms / bound > totals_.worstRatio) {
      totals_.worstRatio = ms / bound;
      totals_.worstWhat = what;
    }
    if (ms > bound) Broken(plan, fault, "took " + std::to_string(ms) + " ms, bound " + std::to_string(bound) + " ms");

    if (std::memcmp(&tag, &tagBefore, sizeof tag) != 0) Broken(plan, fault, "the TagRecord changed");
    // The host's buffer: a good read changes only its values, anything else nothing.
    bool wrongValue = false;
    for (size_t i = 0; i < buffer.size(); ++i) {
      const bool inRange = i >= kGuard + plan.first && i < kGuard + plan.first + plan.words;
      if (buffer[i] != bufferBefore[i] && (write || result != 0 || !inRange)) {
        Broken(plan, fault, "host buffer word " + std::to_string(static_cast<long>(i) - static_cast<long>(kGuard)) +
                                " changed (result " + std::to_string(result) + ")");
        break;
      }
    }
    Memory after = Snapshot();
    if (!write) {
      if (after != before) Broken(plan, fault, "a read changed the PLC's memory");
      if (result == 0) {
        const std::vector<uint16_t> expected = Expected(plan, before);
        const std::vector<uint16_t> got(buffer.begin() + static_cast<std::ptrdiff_t>(kGuard + plan.first),
                                        buffer.begin() + static_cast<std::ptrdiff_t>(kGuard + plan.first + plan.words));
        wrongValue = got != expected;
      }
    } else {
      const Memory landed = Landed(plan, before, values);
      if (result == 0) {
        wrongValue = after != landed;
      } else if (after != landed && after != before) {
        wrongValue = true;  // a failed write must have landed whole or not at all
      }
    }
    if (wrongValue) {
      if (undetected > 0) {
        ++totals_.wrongGoodUndetectable;
        if (verbose_) std::printf("request %ld: wrong value after corruption the check cannot see (%s)\n", totals_.requests, what.c_str());
      } else {
        ++totals_.wrongGood;
        Broken(plan, fault, result == 0 ? "wrong value reported good" : "a failed write changed other memory");
      }
    }
    if (verbose_) {
      std::printf("%5ld %-22s %-10s %-22s rc=%d %7.1f ms\n", totals_.requests, kKindNames[static_cast<int>(plan.kind)],
                  plan.gas.c_str(), kFaultNames[static_cast<int>(fault)], result, ms);
    }
  }

  plcsim::Simulator& sim_;
  std::mt19937 rng_;
  double faultRate_;
  bool verbose_;
  std::array<uint8_t, 1300> contextBytes_{};  // the host allocates the announced size, zero-filled
  Totals totals_;
};

void Quiet(void*, int, const char*) {}

void PrintSummary(const Totals& t, double seconds, uint32_t seed, double faultRate) {
  std::printf("soak: %ld requests in %.1f s (seed %u, fault rate %.2f)\n", t.requests, seconds, seed, faultRate);
  std::printf("requests by kind (failed):\n");
  for (size_t k = 0; k < t.byKind.size(); ++k) {
    std::printf("  %-22s %7ld (%ld)\n", kKindNames[k], t.byKind[k], t.failedByKind[k]);
  }
  std::printf("results:");
  for (const auto& [result, n] : t.results) std::printf(" rc %d: %ld;", result, n);
  std::printf("\nfaults armed / used:\n");
  long armed = 0, used = 0;
  for (size_t f = 1; f < t.armed.size(); ++f) {
    std::printf("  %-22s %7ld / %ld\n", kFaultNames[f], t.armed[f], t.applied[f]);
    armed += t.armed[f];
    used += t.applied[f];
  }
  std::printf("  %-22s %7ld / %ld\n", "all", armed, used);
  std::printf("corrupted replies (flips, lost and added bytes): %ld, of which the check could not see %ld (%.2f%%)\n",
              t.corruptedReplies, t.undetectedCorruptions,
              t.corruptedReplies > 0 ? 100.0 * static_cast<double>(t.undetectedCorruptions) / static_cast<double>(t.corruptedReplies) : 0.0);
  std::printf("wrong values reported good: %ld; after corruption the check cannot see: %ld\n", t.wrongGood,
              t.wrongGoodUndetectable);
  std::printf("longest request: %.0f ms, its bound %.0f ms (%s)\n", t.longestMs, t.longestBound, t.longestWhat.c_str());
  std::printf("highest share of its bound: %.1f%% (%s)\n", 100 * t.worstRatio, t.worstWhat.c_str());
  std::printf("broken rules: %ld\n", t.broken);
}

}  // namespace

int main(int argc, char** argv) {
  long requests = 2000;
  uint32_t seed = 1;
  double faultRate = 0.25;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--requests" && i + 1 < argc) {
      requests = std::atol(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--fault-rate" && i + 1 < argc) {
      faultRate = std::atof(argv[++i]);
    } else if (arg == "--verbose") {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: %s [--requests N] [--seed S] [--fault-rate R] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  KalSetErrSink(&Quiet, nullptr);

  // The board's network file lies in the current folder, as the driver reads it.
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("kel_soak." + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  std::ofstream("kelG191.int") << kNetwork;

  plcsim::SimulatorOptions options;
  options.stations = plcsim::ParseNetworkText(kNetwork);
  plcsim::Simulator sim(options);
  Soak soak(sim, seed, faultRate, verbose);
  int status = 0;
  if (!soak.Load()) {
    std::printf("soak: the board did not load on %s\n", sim.PortName().c_str());
    status = 1;
  } else {
    const auto started = SteadyClock::now();
    soak.Run(requests);
    PrintSummary(soak.totals(), std::chrono::duration<double>(SteadyClock::now() - started).count(), seed, faultRate);
    status = soak.totals().broken == 0 ? 0 : 1;
  }
  sim.Stop();
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(folder);
  return status;
}
