// Test main: every test process runs on its own fresh sysroot, so that nothing touches the real
// device folders, and logs into that sysroot's system log.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"

int main(int argc, char** argv) {
  // DevicePaths reads ZEM_SYSROOT once, on first use: set it before anything asks for a path.
  const TempFile sysroot("zem-test-sysroot-");
  ::setenv("ZEM_SYSROOT", sysroot.getFile().getPath().c_str(), 1);
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
