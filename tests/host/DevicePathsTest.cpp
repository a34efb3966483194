#include "kest/DevicePaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(DevicePathsTest, PathsTakeTheSysrootOnceAreComposedOnceAndProcIsNeverPrefixed) {
  const std::string root = std::getenv("ZEM_SYSROOT");
  ASSERT_FALSE(root.empty()) << "tests must run on a temporary sysroot";
  const std::string& first = DevicePaths::applicationDataFolder();
  ::setenv("ZEM_SYSROOT", "/elsewhere", 1);
  EXPECT_EQ(&DevicePaths::applicationDataFolder(), &first);
  EXPECT_EQ(DevicePaths::applicationDataFolder(), root + "/media/olvane/data/zem_app");
  ::setenv("ZEM_SYSROOT", root.c_str(), 1);
  EXPECT_EQ(DevicePaths::kernelRandomFolder(), "/proc/sys/kernel/random/");
}
