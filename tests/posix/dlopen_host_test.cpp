// A host that loads the driver module as a SCADA runtime does: the host
// module opens it with dlopen and RTLD_LOCAL and finds KelMain by dlsym. The
// C library's own err(3) prints and exits; the driver must reach the host
// library's err instead.
#include <gtest/gtest.h>

#include <string>

#include "context/driver_context.h"
#include "driver/host_interface.h"
#include "host/driver_module.h"
#include "tests/support/log_capture.h"

namespace {

class LoadedDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.Load()) << module_.Error();
    kelMain_ = module_.kelMain();
    ASSERT_NE(kelMain_, nullptr);
  }
  DriverModule module_;
  KelMainFunction kelMain_ = nullptr;
};

TEST_F(LoadedDriver, ExportsOnlyKelMain) {
  EXPECT_NE(module_.Symbol("KelMain"), nullptr);
  // The test program holds the driver's core too; the export found must be
  // the module's own.
  EXPECT_NE(module_.Symbol("KelMain"), reinterpret_cast<void*>(&KelMain));
  EXPECT_EQ(module_.Symbol("ParseAddress"), nullptr);
  EXPECT_EQ(module_.Symbol("ComputeBcc"), nullptr);
}

TEST_F(LoadedDriver, MessageReachesTheHostSinkAndTheHostKeepsRunning) {
  LogCapture log;
  DriverContext context{};
  ParseRecord parse{};
  parse.gas = "01R00001";
  KelRequest request{&context, kRequestParseAddress, 1, 0, &parse};
  EXPECT_EQ(kelMain_(&request), 1);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], (LogLine{8, "kelg1: Parse error Plc Address must be zero without init file"}));
}

TEST_F(LoadedDriver, PortNameLongerThanTheDriverTakesIsRefusedUncut) {
  // Cut to the driver's 11 characters this name would be another path.
  LogCapture log;
  Board board(module_, 1);
  EXPECT_EQ(board.Load("/dev/../dev/null"), 2);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(LoadedDriver, AnswersDriverInfo) {
  DriverInfo info{};
  KelRequest request{nullptr, kRequestGetDriverInfo, 0, 0, &info};
  ASSERT_EQ(kelMain_(&request), 0);
  EXPECT_EQ(info.version, 710);
  EXPECT_EQ(info.contextSize, 1300);
  // The host module sizes its boards' contexts by the same description.
  EXPECT_EQ(module_.ContextSize(), 1300u);
  EXPECT_EQ(module_.Info().version, 710);
}

}  // namespace
