// The plcsim command line, parsed without starting anything.
#include <gtest/gtest.h>

#include "sim/cli.h"

namespace plcsim {
namespace {

CommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLine, Defaults) {
  const CommandLine cl = Parse({});
  EXPECT_EQ(cl.simulator.stations, PointToPoint());
  EXPECT_EQ(cl.simulator.device, "");
  EXPECT_EQ(cl.simulator.line.baud, 19200u);
  EXPECT_EQ(cl.simulator.line.parity, Parity::Odd);
  EXPECT_FALSE(cl.simulator.pace);
  EXPECT_EQ(cl.simulator.engine.turnaround, Millis(5));
  EXPECT_TRUE(cl.simulator.engine.pattern);
  EXPECT_FALSE(cl.trace);
}

TEST(CommandLine, LineAndTimingOptions) {
  const CommandLine cl = Parse({"--baud", "9600", "--data-bits=7", "--parity", "even", "--stop-bits", "2", "--pace",
                                "--turnaround", "12", "--reply-timeout=300", "--idle-timeout", "0", "--text-size",
                                "100", "--device", "/dev/ttyUSB0", "--zero", "--hex"});
  EXPECT_EQ(cl.simulator.line.baud, 9600u);
  EXPECT_EQ(cl.simulator.line.dataBits, 7);
  EXPECT_EQ(cl.simulator.line.parity, Parity::Even);
  EXPECT_EQ(cl.simulator.line.stopBits, 2);
  EXPECT_TRUE(cl.simulator.pace);
  EXPECT_EQ(cl.simulator.engine.turnaround, Millis(12));
  EXPECT_EQ(cl.simulator.engine.replyTimeout, Millis(300));
  EXPECT_EQ(cl.simulator.engine.idleTimeout, Millis(0));
  EXPECT_EQ(cl.simulator.engine.textBufferData, 100u);
  EXPECT_EQ(cl.simulator.device, "/dev/ttyUSB0");
  EXPECT_FALSE(cl.simulator.engine.pattern);
  EXPECT_TRUE(cl.trace);
  EXPECT_TRUE(cl.simulator.hexDump);
}

TEST(CommandLine, MemoryOptions) {
  const CommandLine cl =
      Parse({"--size", "R=100", "--size", "%SA=256", "--set", "2:R1=1,-1,0x10", "--set", "M17=1", "--dump", "AI5:3",
             "--clock", "R1,AQ4"});
  EXPECT_EQ(cl.simulator.engine.sizes[static_cast<std::size_t>(Area::R)], 100u);
  EXPECT_EQ(cl.simulator.engine.sizes[static_cast<std::size_t>(Area::SA)], 256u);
  ASSERT_EQ(cl.presets.size(), 2u);
  EXPECT_EQ(cl.presets[0].station, 2);
  EXPECT_EQ(cl.presets[0].reference, (Reference{Area::R, 0}));
  EXPECT_EQ(cl.presets[0].values, (std::vector<int>{1, -1, 16}));
  EXPECT_EQ(cl.presets[1].station, kEveryStation);
  ASSERT_EQ(cl.dumps.size(), 1u);
  EXPECT_EQ(cl.dumps[0].reference, (Reference{Area::AI, 4}));
  EXPECT_EQ(cl.dumps[0].count, 3u);
  EXPECT_EQ(cl.simulator.engine.clockWords, (std::vector<Reference>{{Area::R, 0}, {Area::AQ, 3}}));
}

TEST(CommandLine, BadOptionsAreRefusedWithAReason) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--nope"}, "unknown option"},
      {{"--baud", "12x"}, "not a number"},
      {{"--baud", "10"}, "outside 50..4000000"},
      {{"--data-bits", "9"}, "outside 5..8"},
      {{"--stop-bits", "3"}, "outside 1..2"},
      {{"--pace=yes"}, "takes no value"},
      {{"--turnaround"}, "needs a value"},
      {{"--size", "X=5"}, "is not AREA=N"},
      {{"--size", "R=0"}, "outside"},
      {{"--set", "R1"}, "is not REF=VALUE"},
      {{"--set", "R1=70000"}, "outside"},
      {{"--dump", "Z1"}, "is not a PLC reference"},
      {{"--text-size", "2000"}, "outside 1..1016"},
      {{"--clock", "R1,M17"}, "is not a word of R, AI or AQ"},
      {{"--size", "AI=10", "--clock", "AI11"}, "%AI11 is outside its area"},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.args);
      ADD_FAILURE() << c.args[0] << " accepted";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(FaultOptions, EachKindSetsItsFault) {
  struct Case {
    const char* text;
    int station;
    std::function<bool(const Faults&)> check;
  };
  const Case cases[] = {
      {"1:silent", 1, [](const Faults& f) { return f.silent; }},
      {"1:silent@2", 1, [](const Faults& f) { return f.silent; }},
      {"2:bad-bcc@3", 2, [](const Faults& f) { return f.badBcc.Remaining() == 3; }},
      {"*:bad-bcc", kEveryStation, [](const Faults& f) { return f.badBcc.Remaining() == kAlways; }},
      {"1:nak", 1, [](const Faults& f) { return f.nak.Active() && f.nakCode == 0; }},
      {"1:nak=2@1", 1, [](const Faults& f) { return f.nak.Remaining() == 1 && f.nakCode == 2; }},
      {"1:error=5,0x0A", 1,
       [](const Faults& f) {
         return f.error.Active() && f.errorMajor == 5 && f.errorMinor == 10 && f.errorKinds == kAnyRequest;
       }},
      {"1:error=5,10/write+status", 1,
       [](const Faults& f) { return f.errorKinds == (kWriteRequest | kShortStatusRequest); }},
      {"3:status=0x0001/read+data", 3,
       [](const Faults& f) { return f.snpxStatus == 1 && f.errorKinds == (kReadRequest | kSnpxWriteData); }},
      {"1:truncate", 1, [](const Faults& f) { return f.truncate.Active() && f.truncateTo == 0; }},
      {"1:truncate=10@2", 1, [](const Faults& f) { return f.truncate.Remaining() == 2 && f.truncateTo == 10; }},
      {"1:no-t", 1, [](const Faults& f) { return f.textWithoutT.Active(); }},
      {"1:endless", 1, [](const Faults& f) { return f.endlessText.Active(); }},
      {"1:delay=250", 1, [](const Faults& f) { return f.delay.Active() && f.replyDelay == Millis(250); }},
      {"1:noise=16@1", 1, [](const Faults& f) { return f.noise.Remaining() == 1 && f.noiseBytes == 16; }},
  };
  for (const Case& c : cases) {
    const FaultOption option = ParseFault(c.text);
    EXPECT_EQ(option.station, c.station) << c.text;
    Faults faults;
    option.apply(faults);
    EXPECT_TRUE(c.check(faults)) << c.text;
  }
}

TEST(FaultOptions, MalformedFaultsAreRefused) {
  for (const char* text : {"silent", "1:", "1:unknown", "1:silent=1", "1:delay", "1:error=5", "1:error=5,6/bogus",
                           "1:bad-bcc@0", "65:silent", "1:status=0"}) {
    EXPECT_THROW(ParseFault(text), UsageError) << text;
  }
}

}  // namespace
}  // namespace plcsim
