// A host that loads the driver module as a SCADA runtime does: dlopen with
// RTLD_LOCAL, KelMain by dlsym. The C library's own err(3) prints and exits;
// the driver must reach the host library's err instead.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "driver/driver_context.h"
#include "driver/host_interface.h"
#include "tests/support/log_capture.h"

namespace {

std::string BesideThisProgram(const char* file) {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
  return self.substr(0, self.rfind('/') + 1) + file;
}

using KelMainFunction = int32_t (*)(KelRequest*);

class LoadedDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(BesideThisProgram("libderevu1.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    kelMain_ = reinterpret_cast<KelMainFunction>(dlsym(handle_, "KelMain"));
    ASSERT_NE(kelMain_, nullptr);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* handle_ = nullptr;
  KelMainFunction kelMain_ = nullptr;
};

TEST_F(LoadedDriver, ExportsOnlyKelMain) {
  EXPECT_EQ(dlsym(handle_, "ParseAddress"), nullptr);
  EXPECT_EQ(dlsym(handle_, "ComputeBcc"), nullptr);
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

TEST_F(LoadedDriver, AnswersDriverInfo) {
  DriverInfo info{};
  KelRequest request{nullptr, kRequestGetDriverInfo, 0, 0, &info};
  ASSERT_EQ(kelMain_(&request), 0);
  EXPECT_EQ(info.version, 710);
  EXPECT_EQ(info.contextSize, 1300);
}

}  // namespace
