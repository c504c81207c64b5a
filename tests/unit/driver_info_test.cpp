#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "tests/support/log_capture.h"

namespace {

int32_t Call(uint32_t code, void* params, DriverContext* context = nullptr, int32_t board = 1) {
  KelRequest request{context, code, board, 0, params};
  return KelMain(&request);
}

TEST(GetDriverInfo, FillsEveryValue) {
  DriverInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(Call(kRequestGetDriverInfo, &info), 0);
  EXPECT_EQ(info.version, 710);
  EXPECT_STREQ(info.name, "General Electric SNP(X)");
  EXPECT_EQ(info.contextSize, 1300);
  EXPECT_EQ(info.hostValue1, 4);
  EXPECT_EQ(info.defaultLine.baudRate, 19200);
  EXPECT_EQ(info.defaultLine.dataBits, 8);
  EXPECT_EQ(info.defaultLine.stopBits, 0);
  EXPECT_EQ(info.defaultLine.parity, 1);
  EXPECT_EQ(info.hostValue2, 0x004C0023);
}

TEST(GetDriverInfo, NullParamsFails) { EXPECT_NE(Call(kRequestGetDriverInfo, nullptr), 0); }

TEST(GetDriverInfo, BannerIsSixFramedLinesOf61) {
  DriverInfo info{};
  ASSERT_EQ(Call(kRequestGetDriverInfo, &info), 0);
  const std::string banner = info.banner;
  ASSERT_EQ(banner.size(), 373u);
  ASSERT_EQ(banner[0], '\n');
  std::string lines[6];
  for (int i = 0; i < 6; ++i) {
    lines[i] = banner.substr(1 + 62 * i, 61);
    EXPECT_EQ(banner[1 + 62 * i + 61], '\n') << "line " << i + 1;
  }
  EXPECT_EQ(lines[0], "\xDA" + std::string(59, '\xC4') + "\xBF");
  EXPECT_EQ(lines[1], "\xB3 " + std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') +
                          std::string(6, '\xB0') + " K E L G 1 " + std::string(6, '\xB0') + std::string(6, '\xB1') +
                          std::string(6, '\xB2') + std::string(5, '\xDB') + " \xB3");
  EXPECT_EQ(lines[2], "\xB3" + std::string(8, ' ') + "General Electric SNP(X) Driver installed" + std::string(11, ' ') + "\xB3");
  EXPECT_EQ(lines[3], "\xB3" + std::string(9, ' ') + "GE Fanuc,series 90 PLCs, RS485 network." + std::string(11, ' ') + "\xB3");
  EXPECT_EQ(lines[4].front(), '\xB3');
  EXPECT_EQ(lines[4].back(), '\xB3');
  EXPECT_NE(lines[4].find("7.10"), std::string::npos);
  EXPECT_EQ(lines[5], "\xC0" + std::string(59, '\xC4') + "\xD9");
}

TEST(KelMain, EmptyAndUnknownSlotsRunNothingAndLogNothing) {
  LogCapture log;
  DriverContext context{};
  DriverInfo info{};
  for (uint32_t code : {0u, 8u, 9u, 17u, 18u, 255u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Call(code, &info, &context), kResultNoSuchRequest) << code;
  }
  EXPECT_EQ(KelMain(nullptr), kResultNoSuchRequest);
  EXPECT_EQ(info.version, 0);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(KelMain, NullContextOrParamsFailsWithTheKindsResult) {
  LogCapture log;
  // Lifecycle requests fail with 2, parse requests with 1.
  for (uint32_t code : {1u, 2u, 15u}) EXPECT_EQ(Call(code, nullptr, nullptr), 2) << code;
  for (uint32_t code : {11u, 12u, 13u}) EXPECT_EQ(Call(code, nullptr, nullptr), 2) << code;
  for (uint32_t code : {3u, 4u}) EXPECT_EQ(Call(code, nullptr, nullptr), 1) << code;
  for (uint32_t code : {5u, 6u, 7u, 10u}) EXPECT_EQ(Call(code, nullptr, nullptr), 1) << code;
  DriverContext context{};
  for (uint32_t code : {1u, 2u, 15u}) EXPECT_EQ(Call(code, nullptr, &context), 2) << code;
  for (uint32_t code : {3u, 4u}) EXPECT_EQ(Call(code, nullptr, &context), 1) << code;
  ParseRecord parse{};
  EXPECT_EQ(Call(kRequestParseAddress, &parse, &context), 1);
  EXPECT_EQ(Call(kRequestParseAddress, &parse, nullptr), 1);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(KelMain, ClosePortCodesElevenAndTwelveAgree) {
  DriverContext context{};
  EXPECT_EQ(Call(kRequestClosePort, nullptr, &context), 0);
  EXPECT_EQ(Call(kRequestClosePortToo, nullptr, &context), 0);
}

TEST(KelMain, BrowseYieldsNoAddressWithoutDialog) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Win32 build shows the dialog";
#else
  char buffer[10] = {};
  BrowseRecord browse{buffer, nullptr};
  DriverContext context{};
  EXPECT_EQ(Call(kRequestBrowseAddress, &browse, &context), 53);
#endif
}

}  // namespace
