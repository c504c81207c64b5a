// The parse requests 3 and 4 through KelMain: GAS syntax, station rules,
// area rules, block limits, the messages of request 3 and the silence of 4.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "tests/support/log_capture.h"

namespace {

enum class Stations {
  kNone,  // no network file: peer-to-peer, station 0 only
  kFile,  // stations 1 and 3 speak SNP, station 4 SNPX
};

struct Address {
  int32_t station, area, element, bit, width;
  bool operator==(const Address&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Address& a) {
  return out << "{station " << a.station << ", area " << a.area << ", element " << a.element << ", bit " << a.bit
             << ", width " << a.width << "}";
}

struct Case {
  uint32_t code;
  const char* gas;
  int32_t dataType;
  int32_t count;
  Stations stations;
  std::optional<Address> parsed;  // nullopt: the parse fails
  const char* message;            // request 3's message at level 8, if any
};

constexpr uint32_t k3 = kRequestParseAddress;
constexpr uint32_t k4 = kRequestParseBlockAddress;
constexpr Stations kNone = Stations::kNone;
constexpr Stations kFile = Stations::kFile;
constexpr std::nullopt_t kFails = std::nullopt;

Address R(int32_t station, int32_t element, int32_t bit = kNoBit) { return {station, 'R', element, bit, 16}; }

struct ParseBoard {
  LogCapture log;
  DriverContext context{};

  explicit ParseBoard(Stations stations) {
    if (stations == Stations::kFile) {
      std::strcpy(context.snpIds[1], "PLC1");
      std::strcpy(context.snpIds[3], "PLC3");
      std::strcpy(context.snpIds[4], "PLC4");
      context.snpxStation[4] = 1;
    }
    context.gasText[9] = '#';
  }

  int32_t Parse(uint32_t code, ParseRecord& record) {
    KelRequest request{&context, code, 1, 0, &record};
    return KelMain(&request);
  }
};

void RunParse(const Case& c) {
  SCOPED_TRACE(testing::Message() << "request " << c.code << " \"" << c.gas << "\" type " << c.dataType << " count "
                                  << c.count);
  ParseBoard board(c.stations);
  ParseRecord record{};
  record.gas = c.gas;
  record.dataType = c.dataType;
  record.count = c.count;
  const int32_t result = board.Parse(c.code, record);
  EXPECT_EQ(result, c.parsed ? 0 : 1);
  if (c.parsed) {
    EXPECT_EQ((Address{record.station, record.area, record.element, record.bit, record.width}), *c.parsed);
  }
  const std::vector<LogLine> expected =
      c.message != nullptr ? std::vector<LogLine>{{8, c.message}} : std::vector<LogLine>{};
  EXPECT_EQ(board.log.Lines(), expected);
  EXPECT_EQ(board.context.gasText[9], '#') << "the byte after the nine characters was written";
}

TEST(ParseAddress, SyntaxAndStations) {
  const Case cases[] = {
      {k3, "01r00001", 0, 0, kFile, R(1, 0), nullptr},
      {k3, "01R00001 ", 1, 0, kFile, R(1, 0), nullptr},
      {k3, "1R00001", 0, 0, kFile, kFails, nullptr},
      {k3, "01R0000100", 0, 0, kFile, kFails, nullptr},
      {k3, "01R1", 0, 0, kFile, kFails, nullptr},
      {k3, "01X00001", 0, 0, kFile, kFails, nullptr},
      {k3, "01R0000G", 0, 0, kFile, kFails, nullptr},
      {k3, "70R00001", 0, 0, kFile, kFails, nullptr},
      {k3, "65R00001", 0, 0, kFile, kFails, "kelg1: Parse error Plc Address out of range 0-64 (65)"},
      {k3, "69R00001", 0, 0, kNone, kFails, "kelg1: Parse error Plc Address out of range 0-64 (69)"},
      {k3, "00R00001", 0, 0, kNone, R(0, 0), nullptr},
      {k3, "01R00001", 0, 0, kNone, kFails, "kelg1: Parse error Plc Address must be zero without init file"},
      {k3, "00R00001", 0, 0, kFile, kFails, "kelg1: Parse error Plc Address zero not allowed with init file"},
      {k3, "02R00001", 0, 0, kFile, kFails, "kelg1: Parse error Plc Address (2) not defined in init file"},
      {k3, "03R00001", 0, 0, kFile, R(3, 0), nullptr},
      {k3, "64R00001", 0, 0, kFile, kFails, "kelg1: Parse error Plc Address (64) not defined in init file"},
      {k3, "01R00000", 0, 0, kFile, kFails, "kelg1: Parse error Element number must start with 1 (zero invalid)"},
      {k3, "01R99999", 0, 0, kFile, R(1, 99998), nullptr},
  };
  for (const Case& c : cases) RunParse(c);
}

TEST(ParseAddress, AreaRules) {
  const Case cases[] = {
      // Area F: the data type is tested before the element and the bit digit.
      {k3, "01F00001", 3, 0, kFile, Address{1, 'F', 0, kNoBit, 32}, nullptr},
      {k3, "01F00005", 5, 0, kFile, Address{1, 'F', 2, kNoBit, 32}, nullptr},
      {k3, "01F00002", 3, 0, kFile, kFails,
       "kelg1: Parse error Element number must be odd (2 element boundry) for 'F' regions"},
      {k3, "01F000031", 4, 0, kFile, kFails, "kelg1: Parse error bits not supported in 'F' regions"},
      {k3, "01F00001", 0, 0, kFile, kFails, "kelg1: Parse error must be 32-bit gate in 'F' regions"},
      {k3, "01F000021", 6, 0, kFile, kFails, "kelg1: Parse error must be 32-bit gate in 'F' regions"},
      // Registers: a bit digit exactly for data type 6.
      {k3, "01R000105", 6, 0, kFile, R(1, 9, 5), nullptr},
      {k3, "01L00001f", 6, 0, kFile, Address{1, 'L', 0, 15, 16}, nullptr},
      {k3, "01O00002A", 6, 0, kFile, Address{1, 'O', 1, 10, 16}, nullptr},
      {k3, "01R000105", 0, 0, kFile, kFails, nullptr},
      {k3, "01R00010", 6, 0, kFile, kFails, nullptr},
      {k3, "01R00010", 3, 0, kFile, kFails, nullptr},
      // Discrete areas: one bit, addressed by the word that holds it.
      {k3, "01M00017", 6, 0, kFile, Address{1, 'M', 1, 0, 16}, nullptr},
      {k3, "01m00016", 6, 0, kFile, Address{1, 'M', 0, 15, 16}, nullptr},
      {k3, "01D99999", 6, 0, kFile, Address{1, 'D', 6249, 14, 16}, nullptr},
      {k3, "01M00017", 0, 0, kFile, kFails, nullptr},
      {k3, "01M000171", 6, 0, kFile, kFails, nullptr},
  };
  for (const Case& c : cases) RunParse(c);
}

TEST(ParseBlockAddress, RulesLimitsAndSilence) {
  const Case cases[] = {
      {k4, "01R00001", 0, 500, kFile, R(1, 0), nullptr},
      {k4, "01R00001", 1, 501, kFile, kFails, nullptr},
      {k4, "01F00001", 9, 250, kFile, Address{1, 'F', 0, kNoBit, 32}, nullptr},
      {k4, "01F00001", 3, 251, kFile, kFails, nullptr},
      {k4, "04R00001", 0, 256, kFile, R(4, 0), nullptr},
      {k4, "04R00001", 0, 257, kFile, kFails, nullptr},
      {k4, "04F00003", 3, 128, kFile, Address{4, 'F', 1, kNoBit, 32}, nullptr},
      {k4, "04F00001", 3, 129, kFile, kFails, nullptr},
      {k4, "01M00017", 9, 4, kFile, Address{1, 'M', 1, 0, 16}, nullptr},
      {k4, "01M000171", 6, 4, kFile, kFails, nullptr},
      {k4, "01R000105", 0, 1, kFile, kFails, nullptr},
      {k4, "01R00001", 6, 1, kFile, kFails, nullptr},
      {k4, "01R00001", 0, 0, kFile, kFails, nullptr},
      {k4, "01R00001", 0, -1, kFile, kFails, nullptr},
      // The faults that request 3 reports pass silently here.
      {k4, "65R00001", 0, 1, kFile, kFails, nullptr},
      {k4, "00R00001", 0, 1, kFile, kFails, nullptr},
      {k4, "01R00001", 0, 1, kNone, kFails, nullptr},
      {k4, "02R00001", 0, 1, kFile, kFails, nullptr},
      {k4, "01R00000", 0, 1, kFile, kFails, nullptr},
      {k4, "01F00002", 3, 1, kFile, kFails, nullptr},
      {k4, "00R00001", 0, 500, kNone, R(0, 0), nullptr},
  };
  for (const Case& c : cases) RunParse(c);
}

TEST(ParseRequests, GasTextHoldsTheNormalisedNineCharacters) {
  for (uint32_t code : {k3, k4}) {
    ParseBoard board(kFile);
    ParseRecord record{};
    record.gas = "01m00017";
    record.dataType = 6;
    record.count = 1;
    EXPECT_EQ(board.Parse(code, record), 0);
    EXPECT_EQ(std::string(board.context.gasText, 10), "01M00017 #");
  }
}

TEST(ParseRequests, TenCharactersAreNeverReadPastTheTenth) {
  for (uint32_t code : {k3, k4}) {
    // Exactly ten characters and no NUL: an overread leaves the allocation.
    auto gas = std::make_unique<char[]>(10);
    std::memcpy(gas.get(), "01R0000100", 10);
    ParseBoard board(kFile);
    ParseRecord record{};
    record.gas = gas.get();
    record.dataType = 0;
    record.count = 1;
    EXPECT_EQ(board.Parse(code, record), 1);
    EXPECT_TRUE(board.log.Lines().empty());
    EXPECT_EQ(std::string(board.context.gasText, 10), "01R000010#");
  }
}

}  // namespace
