// Stations from network files in the driver's format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/network.h"

namespace plcsim {
namespace {

using Stations = std::vector<StationConfig>;

struct FileCase {
  const char* name;
  const char* text;
  Stations stations;
};

TEST(NetworkFile, StationsAreReadAsTheDriverReadsThem) {
  const FileCase cases[] = {
      {"SNP and SNPX", "01PLCA\n02PLCB*\n", {{1, "PLCA", Protocol::Snp}, {2, "PLCB", Protocol::Snpx}}},
      {"WAIT first line", "WAIT50\n01PLCA\n", {{1, "PLCA", Protocol::Snp}}},
      {"RTS first line", "RTS\n07X*\n", {{7, "X", Protocol::Snpx}}},
      {"invalid WAIT value is still ignored", "WAIT9\n01A\n", {{1, "A", Protocol::Snp}}},
      {"blanks, punctuation, lower case", "01 plc-a *\r\n", {{1, "PLCA", Protocol::Snpx}}},
      {"ID cut to 8 characters", "03PLCNAME12\n", {{3, "PLCNAME1", Protocol::Snp}}},
      {"characters after '*' ignored", "05ABC*DEF\n", {{5, "ABC", Protocol::Snpx}}},
      {"station listed twice", "05ABCDEF\n05XY\n", {{5, "XYCDEF", Protocol::Snp}}},
      {"blank line ends the file", "01A\n\n02B\n", {{1, "A", Protocol::Snp}}},
      {"no newline at the end", "64LAST", {{64, "LAST", Protocol::Snp}}},
      {"15 characters then a newline end the file", "01ABCDEFGHIJKLM\n02B\n", {{1, "ABCDEFGH", Protocol::Snp}}},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseNetworkText(c.text), c.stations);
  }
}

TEST(NetworkFile, IllegalLinesAreReportedWithTheirNumber) {
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"00PLC\n", "line 1"},      {"65PLC\n", "line 1"},         {"A1PLC\n", "line 1"},
      {"01A\nRTS\n", "line 2"},   {"WAIT50\nWAIT50\n", "line 2"}, {"01A\n1\n", "line 2"},
  };
  for (const auto& c : cases) {
    try {
      ParseNetworkText(c.text, "kelG101.int");
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const NetworkFileError& e) {
      {
        const std::string message = e.what();
        EXPECT_NE(message.find("kelG101.int"), std::string::npos) << message;
        EXPECT_NE(message.find(c.line), std::string::npos) << message;
      }
    }
  }
}

TEST(NetworkFile, AFileWithoutStationsOrAMissingFileIsAnError) {
  EXPECT_THROW(ParseNetworkText("WAIT50\n"), NetworkFileError);
  EXPECT_THROW(ParseNetworkText(""), NetworkFileError);
  EXPECT_THROW(ReadNetworkFile("/nonexistent/kelG101.int"), NetworkFileError);
}

TEST(NetworkFile, ReadsFromDisk) {
  const std::string path = ::testing::TempDir() + "plcsim_network_test_" + std::to_string(getpid()) + ".int";
  std::ofstream(path) << "WAIT100\r\n01PLCA\r\n02PLCB*\r\n";
  EXPECT_EQ(ReadNetworkFile(path), (Stations{{1, "PLCA", Protocol::Snp}, {2, "PLCB", Protocol::Snpx}}));
  std::remove(path.c_str());
}

TEST(NetworkFile, PointToPointIsStationZeroWithoutAnId) {
  EXPECT_EQ(PointToPoint(), (Stations{{0, "", Protocol::Snp}}));
}

}  // namespace
}  // namespace plcsim
