// The driver's protocol operations against the simulator on a pseudo-terminal,
// values compared with the simulated PLC memory: SNP through the mailbox, one
// and several text buffers; SNPX short and long frames; stations taking turns.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "context/driver_context.h"
#include "exchange/access.h"
#include "sim/simulator.h"
#include "snp/snp_read.h"
#include "snp/snp_write.h"
#include "snpx/snpx_read.h"
#include "snpx/snpx_write.h"
#include "tests/support/log_capture.h"

namespace {

using plcsim::Area;

class DriverOnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    plcsim::SimulatorOptions options;
    options.stations = plcsim::ParseNetworkText("01SNPA\n02SNPB\n03SNPC\n05SNPXA*\n");
    sim_ = std::make_unique<plcsim::Simulator>(options);
    // A context as a load leaves it, with the stations of the network file.
    const std::string port = sim_->PortName();
    std::strncpy(context_.portSettings.name, port.c_str(), sizeof context_.portSettings.name - 1);
    context_.portSettings.line = LineSettings{19200, 8, 0, 0};
    context_.portSettings.flags = kPortFlagsDefault;
    context_.port = OpenPort(context_.portSettings);
    ASSERT_NE(context_.port, kNoPort);
    context_.readTimeout = 100;
    SetReadTimeout(context_.port, 100);
    context_.attachWait = 20;
    context_.attachedStation = kNoStation;
    for (auto [station, id] : {std::pair{1, "SNPA"}, {2, "SNPB"}, {3, "SNPC"}, {5, "SNPXA"}}) {
      std::strcpy(context_.snpIds[station], id);
    }
    context_.snpxStation[5] = 1;
  }
  void TearDown() override {
    if (context_.port != kNoPort) SerialClose(context_.port);
  }

  static AccessDescriptor Words(uint16_t index, uint16_t length) {
    return AccessDescriptor{kSelectorR, kModeWord, index, length, kNoBit};
  }
  static std::vector<uint16_t> Pattern(size_t count, uint16_t seed) {
    std::vector<uint16_t> values(count);
    for (size_t k = 0; k < count; ++k) values[k] = static_cast<uint16_t>(seed + 7919u * k);
    return values;
  }

  LogCapture log_;
  DriverContext context_{};
  std::unique_ptr<plcsim::Simulator> sim_;
};

// 1-3 words come back in the mailbox, up to 128 in one text buffer of the
// simulator's 256 data bytes, more in several.
TEST_F(DriverOnSimulator, SnpReadsThroughMailboxAndTextBuffers) {
  for (uint16_t count : {1, 3, 4, 128, 129, 300, 500}) {
    const std::vector<uint16_t> expected = Pattern(count, count);
    sim_->Plc(1).SetWords(Area::R, 200, expected);
    std::vector<uint16_t> values(count, 0xBEEF);
    const AccessDescriptor access = Words(200, count);
    ASSERT_EQ(SnpRead(&context_, 1, context_.snpIds[1], &access, values.data()), kProtocolOk) << count;
    EXPECT_EQ(values, expected) << count;
  }
  EXPECT_TRUE(log_.Lines().empty());
}

// Up to 4 words travel in the mailbox, more in one text buffer.
TEST_F(DriverOnSimulator, SnpWritesInMailboxAndTextBuffer) {
  for (uint16_t count : {1, 4, 5, 250, 500}) {
    const std::vector<uint16_t> values = Pattern(count, static_cast<uint16_t>(count * 3));
    const AccessDescriptor access = Words(1000, count);
    ASSERT_EQ(SnpWrite(&context_, 2, context_.snpIds[2], &access, values.data()), kProtocolOk) << count;
    EXPECT_EQ(sim_->Plc(2).Words(Area::R, 1000, count), values) << count;
  }
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(DriverOnSimulator, SnpBitsAndDiscreteBytes) {
  const uint16_t one = 1;
  const uint16_t zero = 0;
  for (uint16_t bit : {0, 3, 11, 15}) {
    const uint16_t index = static_cast<uint16_t>(16 * 2 + bit);  // %M33 + bit
    const AccessDescriptor access{76, kModeBit, index, 1, bit};
    ASSERT_EQ(SnpWrite(&context_, 3, context_.snpIds[3], &access, &one), kProtocolOk) << bit;
    EXPECT_TRUE(sim_->Plc(3).Bit(Area::M, index)) << bit;
    uint16_t read = 7;
    ASSERT_EQ(SnpRead(&context_, 3, context_.snpIds[3], &access, &read), kProtocolOk);
    EXPECT_EQ(read, 1);
    ASSERT_EQ(SnpWrite(&context_, 3, context_.snpIds[3], &access, &zero), kProtocolOk) << bit;
    EXPECT_FALSE(sim_->Plc(3).Bit(Area::M, index)) << bit;
  }
  sim_->Plc(3).SetWord(Area::Q, 1, 0xA55A);
  uint16_t word = 0;
  const AccessDescriptor bytes{18, kModeWord, 2, 2, kNoBit};
  ASSERT_EQ(SnpRead(&context_, 3, context_.snpIds[3], &bytes, &word), kProtocolOk);
  EXPECT_EQ(word, 0xA55A);
}

TEST_F(DriverOnSimulator, SnpxReadsAndWritesShortAndLong) {
  for (uint16_t count : {1, 2, 3, 256}) {
    const std::vector<uint16_t> values = Pattern(count, static_cast<uint16_t>(count + 11));
    const AccessDescriptor access = Words(98, count);
    ASSERT_EQ(SnpxWrite(&context_, 5, context_.snpIds[5], &access, values.data()), kProtocolOk) << count;
    EXPECT_EQ(sim_->Plc(5).Words(Area::R, 98, count), values) << count;
    std::vector<uint16_t> read(count, 0);
    ASSERT_EQ(SnpxRead(&context_, 5, context_.snpIds[5], &access, read.data()), kProtocolOk) << count;
    EXPECT_EQ(read, values) << count;
  }
  // 32-bit pairs, and one bit of %M by its bit selector.
  const std::vector<uint16_t> pairs = {0x5678, 0x1234, 0xFFFF, 0x7FFF};
  const AccessDescriptor doubles{kSelectorR, kModeDoubleWord, 40, 4, kNoBit};
  ASSERT_EQ(SnpxWrite(&context_, 5, context_.snpIds[5], &doubles, pairs.data()), kProtocolOk);
  EXPECT_EQ(sim_->Plc(5).Words(Area::R, 40, 4), pairs);
  const uint16_t one = 1;
  const AccessDescriptor bit{76, kModeBit, 37, 1, 5};
  ASSERT_EQ(SnpxWrite(&context_, 5, context_.snpIds[5], &bit, &one), kProtocolOk);
  EXPECT_TRUE(sim_->Plc(5).Bit(Area::M, 37));
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(DriverOnSimulator, StationsTakeTurnsWithAttaches) {
  for (int round = 0; round < 2; ++round) {
    for (int station : {1, 2, 3, 5, 3, 1}) {
      const uint16_t value = static_cast<uint16_t>(1000 * round + station);
      const AccessDescriptor access = Words(7, 1);
      const auto* id = context_.snpIds[station];
      const int32_t written = context_.snpxStation[station] ? SnpxWrite(&context_, station, id, &access, &value)
                                                             : SnpWrite(&context_, station, id, &access, &value);
      ASSERT_EQ(written, kProtocolOk) << station;
      EXPECT_EQ(sim_->Plc(station).Word(Area::R, 7), value) << station;
      EXPECT_EQ(context_.attachedStation, station);
    }
  }
  EXPECT_GE(sim_->Plc(1).Stats().snpAttaches, 2);
}

TEST_F(DriverOnSimulator, ReadThatTheStationNeverCompletesFails) {
  sim_->Plc(1).EndlessText();
  std::vector<uint16_t> values(300, 0xBEEF);
  const AccessDescriptor access = Words(0, 300);
  EXPECT_EQ(SnpRead(&context_, 1, context_.snpIds[1], &access, values.data()), kProtocolFailed);
  EXPECT_EQ(values, std::vector<uint16_t>(300, 0xBEEF)) << "nothing of an incomplete read reaches the host";
}

}  // namespace
