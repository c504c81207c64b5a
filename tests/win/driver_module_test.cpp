// The driver module as a host loads it: DEREVU1.DLL from the folder of the
// test program, its one export looked up by name and called.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/host_interface.h"

namespace {

using KelMainFunction = int32_t (*)(KelRequest*);

class DriverModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA("DEREVU1.DLL");
    ASSERT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
    kelMain_ = reinterpret_cast<KelMainFunction>(reinterpret_cast<void*>(GetProcAddress(module_, "KelMain")));
    ASSERT_NE(kelMain_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

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
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module_, name)), nullptr) << name;
  }
}

TEST_F(DriverModuleTest, NullRequestIsRefused) { EXPECT_NE(kelMain_(nullptr), 0); }

}  // namespace
