// Test main: every test process runs on its own fresh sysroot, so that nothing touches the real
// device folders, and logs into that sysroot's system log. Set ZEM_KEEP_SYSROOT=1 to keep it for
// inspection after the run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"

int main(int argc, char** argv) {
  // DevicePaths reads ZEM_SYSROOT once, on first use: set it before anything asks for a path.
  TempFile sysroot("zem-test-sysroot-");
  ::setenv("ZEM_SYSROOT", sysroot.getFile().getPath().c_str(), 1);
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());

  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  if (std::getenv("ZEM_KEEP_SYSROOT") != nullptr) {
    std::fprintf(stderr, "sysroot kept: %s\n", sysroot.getFile().getPath().c_str());
    const File kept(sysroot.getFile().getPath() + ".kept");
    std::rename(sysroot.getFile().getPath().c_str(), kept.getPath().c_str());
  }
  return rc;
}
