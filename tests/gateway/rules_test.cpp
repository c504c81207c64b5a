// kelgate's rules without sockets or a line: the address map, write
// permission, request decoding and plans, the fair queue, the exception for
// each driver failure, and the command line.
#include <gtest/gtest.h>

#include <sstream>

#include "gateway/fair_queue.h"
#include "gateway/line.h"
#include "gateway/mapping.h"
#include "gateway/options.h"
#include "gateway/plan.h"

namespace kelgate {
namespace {

TEST(AddressMap, DefaultMapsAddressNToElementNPlusOne) {
  const AddressMap map = AddressMap::Default();
  struct Case {
    Table table;
    uint32_t address, count;
    const char* area;
    uint32_t element;
  } cases[] = {
      {Table::kHoldingRegisters, 0, 1, "R", 1},      {Table::kHoldingRegisters, 65535, 1, "R", 65536},
      {Table::kInputRegisters, 4, 10, "AI", 5},      {Table::kCoils, 16, 2000, "Q", 17},
      {Table::kDiscreteInputs, 0, 8, "I", 1},
  };
  for (const Case& c : cases) {
    const auto place = map.Resolve(c.table, c.address, c.count);
    ASSERT_TRUE(place) << c.address;
    EXPECT_STREQ(place->area->name, c.area);
    EXPECT_EQ(place->element, c.element);
    EXPECT_EQ(place->count, c.count);
  }
  // A run that leaves the 16-bit address space is outside the map.
  EXPECT_FALSE(map.Resolve(Table::kHoldingRegisters, 65535, 2));
  EXPECT_FALSE(map.Resolve(Table::kHoldingRegisters, 0, 0));
}

TEST(AddressMap, FileEntriesWithOffsetsAndGaps) {
  std::istringstream file(
      "# table first-last area element\n"
      "holding 0-99 R 1\n"
      "holding 1000-1099 AQ 51   # %AQ51..\n"
      "coils 0-63 M 17\n"
      "input 0-9 AI 1\n");
  AddressMap map;
  std::string error;
  ASSERT_TRUE(map.Load(file, &error)) << error;
  auto place = map.Resolve(Table::kHoldingRegisters, 1010, 5);
  ASSERT_TRUE(place);
  EXPECT_STREQ(place->area->name, "AQ");
  EXPECT_EQ(place->element, 61u);
  place = map.Resolve(Table::kCoils, 3, 1);
  ASSERT_TRUE(place);
  EXPECT_STREQ(place->area->name, "M");
  EXPECT_EQ(place->element, 20u);
  EXPECT_FALSE(map.Resolve(Table::kHoldingRegisters, 100, 1));   // a gap
  EXPECT_FALSE(map.Resolve(Table::kHoldingRegisters, 95, 10));   // runs past an entry
  EXPECT_FALSE(map.Resolve(Table::kDiscreteInputs, 0, 1));       // table not mapped
}

TEST(AddressMap, MalformedFilesAreRefusedWithTheirLine) {
  const char* files[] = {
      "holding 0-9 Q 1\n",                     // bits in a register table
      "coils 0-9 R 1\n",                       // words in a bit table
      "holding 0-9 R 1\nholding 5-20 AI 1\n",  // overlap
      "registers 0-9 R 1\n",                   // no such table
      "holding 9-0 R 1\n",                     // reversed range
      "holding 0-9 X 1\n",                     // no such area
      "holding 0-9 R 0\n",                     // elements start at 1
      "holding 0-9 R 65530\n",                 // past the last element
      "holding 0-9 R\n",                       // missing field
      "# nothing\n",                           // empty map
  };
  for (const char* text : files) {
    std::istringstream file(text);
    AddressMap map;
    std::string error;
    EXPECT_FALSE(map.Load(file, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_TRUE(map.Entries().empty()) << text;
  }
}

TEST(WritePolicy, RangesPerAreaAndTheirUnion) {
  WritePolicy policy;
  std::string error;
  ASSERT_TRUE(policy.Parse("R:1-100,R:101-110,Q,aq:5-5", &error)) << error;
  struct Case {
    const char* area;
    uint32_t element, count;
    bool allowed;
  } cases[] = {
      {"R", 1, 100, true},  {"R", 95, 10, true},  {"R", 110, 1, true},  {"R", 110, 2, false},
      {"R", 0, 1, false},   {"Q", 65536, 1, true}, {"AQ", 5, 1, true},  {"AQ", 4, 2, false},
      {"AI", 1, 1, false},  {"M", 1, 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(policy.Allows(Place{FindArea(c.area), c.element, c.count}), c.allowed) << c.area << c.element;
  }
  EXPECT_TRUE(WritePolicy().Empty());
  EXPECT_FALSE(WritePolicy().Allows(Place{FindArea("R"), 1, 1}));
  for (const char* bad : {"X", "R:0-5", "R:9-1", "R:a-b", "R:"}) {
    WritePolicy p;
    EXPECT_FALSE(p.Parse(bad, &error)) << bad;
  }
}

Decoded Decode(uint8_t unit, std::vector<uint8_t> pdu, Request* r) {
  return DecodeRequest(unit, pdu.data(), pdu.size(), r);
}

TEST(DecodeRequest, FieldsAndLengthChecks) {
  Request r;
  ASSERT_EQ(Decode(7, {0x03, 0x00, 0x0A, 0x00, 0x7D}, &r), Decoded::kOk);
  EXPECT_EQ(r.unit, 7);
  EXPECT_EQ(r.address, 10);
  EXPECT_EQ(r.count, 125);
  // Ten coils 1,0,1,1,0,0,0,0, 1,1 (LSB first in each byte).
  ASSERT_EQ(Decode(1, {0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x0D, 0x03}, &r), Decoded::kOk);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1, 0, 1, 1, 0, 0, 0, 0, 1, 1}));
  ASSERT_EQ(Decode(1, {0x05, 0x00, 0x03, 0xFF, 0x00}, &r), Decoded::kOk);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1}));
  ASSERT_EQ(Decode(1, {0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x12, 0x34, 0xAB, 0xCD}, &r), Decoded::kOk);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{0x1234, 0xABCD}));

  const std::vector<std::vector<uint8_t>> malformed = {
      {}, {0x03, 0x00, 0x00, 0x00}, {0x06, 0x00, 0x00, 0x00, 0x01, 0x00},
      {0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x12, 0x34},  // byte count says more than the frame holds
  };
  for (const auto& bad : malformed) EXPECT_EQ(Decode(1, bad, &r), Decoded::kMalformed);
  EXPECT_EQ(Decode(1, {0x17, 0x00}, &r), Decoded::kUnsupported);
}

WritePolicy Policy(const char* text) {
  WritePolicy policy;
  std::string error;
  EXPECT_TRUE(policy.Parse(text, &error)) << error;
  return policy;
}

Request Make(uint8_t unit, uint8_t function, uint16_t address, uint16_t count, std::vector<uint16_t> values = {},
             uint16_t value = 0) {
  Request r;
  r.unit = unit;
  r.function = function;
  r.address = address;
  r.count = count;
  r.values = std::move(values);
  r.value = value;
  if (function == kWriteMultipleCoils) r.byteCount = static_cast<uint8_t>((count + 7) / 8);
  if (function == kWriteMultipleRegisters) r.byteCount = static_cast<uint8_t>(count * 2);
  return r;
}

TEST(MakePlan, ExceptionsBeforeTheLine) {
  const AddressMap map = AddressMap::Default();
  const WritePolicy policy = Policy("R:1-10,Q:1-16");
  const std::set<int> stations{1, 3};
  struct Case {
    const char* what;
    Request request;
    uint8_t exception;
  } cases[] = {
      {"function not served", Make(1, 0x17, 0, 1), kIllegalFunction},
      {"unit no station", Make(2, kReadHoldingRegisters, 0, 1), kGatewayPathUnavailable},
      {"unit 0 in a network", Make(0, kReadHoldingRegisters, 0, 1), kGatewayPathUnavailable},
      {"126 registers", Make(1, kReadHoldingRegisters, 0, 126), kIllegalValue},
      {"no registers", Make(1, kReadInputRegisters, 0, 0), kIllegalValue},
      {"2001 bits", Make(1, kReadCoils, 0, 2001), kIllegalValue},
      {"coil value 0x1234", Make(1, kWriteSingleCoil, 0, 1, {0}, 0x1234), kIllegalValue},
      {"124 registers written", Make(1, kWriteMultipleRegisters, 0, 124, std::vector<uint16_t>(124)), kIllegalValue},
      {"past address 65535", Make(1, kReadHoldingRegisters, 65500, 100), kIllegalAddress},
      {"write outside the ranges", Make(1, kWriteSingleRegister, 10, 1, {5}), kIllegalAddress},
      {"write straddling a range", Make(1, kWriteMultipleRegisters, 8, 3, {1, 2, 3}), kIllegalAddress},
      {"coils inside", Make(3, kWriteMultipleCoils, 0, 16, std::vector<uint16_t>(16)), kNoException},
      {"write inside", Make(3, kWriteMultipleRegisters, 0, 10, std::vector<uint16_t>(10)), kNoException},
      {"read anywhere", Make(1, kReadHoldingRegisters, 65411, 125), kNoException},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakePlan(c.request, map, policy, stations).exception, c.exception) << c.what;
  }
  // Coils 17.. are %Q17..: not in Q:1-16.
  EXPECT_EQ(MakePlan(Make(3, kWriteMultipleCoils, 16, 1, {1}), map, policy, stations).exception, kIllegalAddress);
  // Read-only by default.
  EXPECT_EQ(MakePlan(Make(1, kWriteSingleRegister, 0, 1, {5}), map, WritePolicy(), stations).exception,
            kIllegalAddress);
}

TEST(MakePlan, OneDriverCallPerReadAndPerRegisterWrite) {
  const AddressMap map = AddressMap::Default();
  const WritePolicy policy = Policy("R,Q");
  const std::set<int> stations{3};

  Plan plan = MakePlan(Make(3, kReadHoldingRegisters, 99, 125), map, policy, stations);
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.steps[0].gas, "03R00100");
  EXPECT_EQ(plan.steps[0].count, 125);
  EXPECT_TRUE(plan.steps[0].block);

  // Bits 5..2004 of %I lie in words 0..125: one block of 126 words from %I1.
  plan = MakePlan(Make(3, kReadDiscreteInputs, 4, 2000), map, policy, stations);
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.steps[0].gas, "03I00001");
  EXPECT_EQ(plan.steps[0].count, 126);

  plan = MakePlan(Make(3, kWriteMultipleRegisters, 0, 3, {7, 8, 9}), map, policy, stations);
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_TRUE(plan.steps[0].write);
  EXPECT_EQ(plan.steps[0].values, (std::vector<uint16_t>{7, 8, 9}));
}

TEST(MakePlan, CoilWritesGoByWholeWordOrByBit) {
  const AddressMap map = AddressMap::Default();
  const WritePolicy policy = Policy("Q");
  // Coils 14..33 = %Q15..%Q34: %Q15, %Q16 alone, %Q17..%Q32 as one word, %Q33, %Q34 alone.
  std::vector<uint16_t> values(20, 0);
  for (size_t k = 2; k < 18; k += 2) values[k] = 1;  // %Q17, %Q19, ... %Q31
  const Plan plan = MakePlan(Make(1, kWriteMultipleCoils, 14, 20, values), map, policy, {1});
  ASSERT_EQ(plan.exception, kNoException);
  ASSERT_EQ(plan.steps.size(), 5u);
  EXPECT_EQ(plan.steps[0].gas, "01Q00015");
  EXPECT_FALSE(plan.steps[0].block);
  EXPECT_EQ(plan.steps[2].gas, "01Q00017");
  EXPECT_TRUE(plan.steps[2].block);
  EXPECT_EQ(plan.steps[2].count, 1);
  EXPECT_EQ(plan.steps[2].values, (std::vector<uint16_t>{0x5555}));
  EXPECT_EQ(plan.steps[4].gas, "01Q00034");
}

TEST(ReadItems, BitsArePickedFromTheirWords) {
  const AddressMap map = AddressMap::Default();
  // Coils 14..19 = %Q15..%Q20: bits 14, 15 of word 0 and 0..3 of word 1.
  const Plan plan = MakePlan(Make(1, kReadCoils, 14, 6), map, WritePolicy(), {1});
  EXPECT_EQ(ReadItems(plan, {0x8000, 0x0005}), (std::vector<uint16_t>{0, 1, 1, 0, 1, 0}));
  const Plan registers = MakePlan(Make(1, kReadInputRegisters, 0, 2), map, WritePolicy(), {1});
  EXPECT_EQ(ReadItems(registers, {0x1234, 0xBEEF}), (std::vector<uint16_t>{0x1234, 0xBEEF}));
}

TEST(FairQueue, ClientsTakeTurnsAndLateJobsExpire) {
  FairQueue queue(6, 3);
  const auto t0 = Clock::now();
  const auto later = t0 + std::chrono::seconds(10);
  // Client 1 queues three jobs before clients 2 and 3 queue one each.
  EXPECT_TRUE(queue.Push(1, 11, later));
  EXPECT_TRUE(queue.Push(1, 12, later));
  EXPECT_TRUE(queue.Push(1, 13, later));
  EXPECT_FALSE(queue.Push(1, 14, later));  // its share is full
  EXPECT_TRUE(queue.Push(2, 21, later));
  EXPECT_TRUE(queue.Push(3, 31, t0 + std::chrono::milliseconds(5)));
  EXPECT_TRUE(queue.Push(2, 22, later));
  EXPECT_FALSE(queue.Push(4, 41, later));  // the queue is full
  std::vector<uint64_t> order, expired;
  const auto now = t0 + std::chrono::seconds(1);  // job 31 is late by now
  while (auto job = queue.Pop(now, &expired)) order.push_back(*job);
  EXPECT_EQ(order, (std::vector<uint64_t>{11, 21, 12, 22, 13}));
  EXPECT_EQ(expired, (std::vector<uint64_t>{31}));
  EXPECT_EQ(queue.Size(), 0u);

  EXPECT_TRUE(queue.Push(5, 51, later));
  EXPECT_TRUE(queue.Remove(51));
  EXPECT_FALSE(queue.Remove(51));
  EXPECT_FALSE(queue.Pop(now, &expired));
}

TEST(ExceptionFor, EachDriverFailure) {
  struct Case {
    FailureKind kind;
    uint8_t exception;
  } cases[] = {
      {FailureKind::kNone, kNoException},           {FailureKind::kNoResponse, kGatewayTargetFailed},
      {FailureKind::kNotAttached, kGatewayTargetFailed}, {FailureKind::kChecksum, kGatewayTargetFailed},
      {FailureKind::kNak, kDeviceFailure},          {FailureKind::kPlcError, kDeviceFailure},
      {FailureKind::kOther, kDeviceFailure},        {FailureKind::kRefused, kIllegalAddress},
  };
  for (const Case& c : cases) EXPECT_EQ(ExceptionFor(c.kind), c.exception) << FailureKindName(c.kind);
}

TEST(Options, SafeDefaultsAndListenAddress) {
  Options options;
  std::string error;
  const char* minimal[] = {"kelgate", "--port", "pts/3"};
  ASSERT_TRUE(ParseOptions(3, minimal, &options, &error)) << error;
  EXPECT_EQ(options.listenAddress, "127.0.0.1");
  EXPECT_EQ(options.listenPort, 1502);
  EXPECT_TRUE(options.writePolicy.Empty());
  EXPECT_EQ(options.maxClients, 8);

  Options full;
  const char* args[] = {"kelgate", "--port", "ttyUSB0", "--listen", "0.0.0.0:0", "--stop-bits", "2",
                        "--parity", "even", "--allow-write", "R:1-5"};
  ASSERT_TRUE(ParseOptions(11, args, &full, &error)) << error;
  EXPECT_EQ(full.listenAddress, "0.0.0.0");
  EXPECT_EQ(full.listenPort, 0);
  EXPECT_EQ(full.line.stopBits, 2);
  EXPECT_EQ(full.line.parity, 2);
  EXPECT_FALSE(full.writePolicy.Empty());

  const std::vector<std::vector<const char*>> bad = {
      {"kelgate"},
      {"kelgate", "--port", "x", "--listen", "localhost:502"},
      {"kelgate", "--port", "x", "--listen", "127.0.0.1:70000"},
      {"kelgate", "--port", "x", "--max-clients", "0"},
      {"kelgate", "--port", "x", "--allow-write", "Z"},
      {"kelgate", "--port", "x", "--stop-bits", "3"},
      {"kelgate", "--port"},
      {"kelgate", "--port", "x", "--bogus"},
  };
  for (const auto& argv : bad) {
    Options o;
    EXPECT_FALSE(ParseOptions(static_cast<int>(argv.size()), argv.data(), &o, &error)) << argv.back();
  }
}

}  // namespace
}  // namespace kelgate
