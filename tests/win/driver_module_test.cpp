// The driver module as a host loads it: the host module loads DEREVU1.DLL
// from the folder of the test program with LoadLibrary, looks its one export
// up by name and calls it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/host_interface.h"
#include "host/driver_module.h"

namespace {

class DriverModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loaded_.Load()) << loaded_.Error();
    module_ = GetModuleHandleA("DEREVU1.DLL");
    ASSERT_NE(module_, nullptr);
    kelMain_ = loaded_.kelMain();
    ASSERT_NE(kelMain_, nullptr);
  }

  DriverModule loaded_;
  HMODULE module_ = nullptr;
  KelMainFunction kelMain_ = nullptr;
};

TEST_F(DriverModuleTest, KelMainComesFromTheModule) {
  // The test program holds the driver's core too; the export found must be
  // the module's own.
  HMODULE owner = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(reinterpret_cast<void*>(kelMain_)), &owner));
  EXPECT_EQ(owner, module_);
  EXPECT_NE(reinterpret_cast<void*>(kelMain_), reinterpret_cast<void*>(&KelMain));
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(module_, path, sizeof path), 0u);
  const std::string file = path;
  EXPECT_EQ(file.substr(file.find_last_of("\\/") + 1), "DEREVU1.DLL");
}

TEST_F(DriverModuleTest, DescribesItselfThroughRequestFourteen) {
  DriverInfo info;
  std::memset(&info, 0xAB, sizeof info);
  KelRequest request{nullptr, kRequestGetDriverInfo, 1, 0, &info};
  ASSERT_EQ(kelMain_(&request), 0);
  EXPECT_EQ(info.version, 710);
  EXPECT_EQ(info.contextSize, 1300);
  EXPECT_STREQ(info.name, "General Electric SNP(X)");
  EXPECT_EQ(info.defaultLine.baudRate, 19200);
  EXPECT_EQ(info.defaultLine.parity, 1);
}

TEST_F(DriverModuleTest, ExportsNothingElse) {
  for (const char* name : {"SerialOpen", "DllMain", "err", "KalMkClient", "_KelMain", "KelMain@4"}) {
    EXPECT_EQ(loaded_.Symbol(name), nullptr) << name;
  }
}

TEST_F(DriverModuleTest, NullRequestIsRefused) { EXPECT_NE(kelMain_(nullptr), 0); }

}  // namespace
