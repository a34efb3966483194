// main() of the test programs: each runs on its own fresh sysroot (schema and certificate folder in
// place), logs into it and keeps temporary files in "<sysroot>/tmp" (TMPDIR), where tests see leftovers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/TrustBoundaries.h"

int main(int argc, char** argv) {
  // DevicePaths reads ZEM_SYSROOT once, on first use: set it before anything asks for a path.
  const TempFile sysroot("zem-test-sysroot-");
  const File& root = sysroot.getFile();
  ::setenv("ZEM_SYSROOT", root.getPath().c_str(), 1);
  const File tmp(root, "tmp"), schema(DevicePaths::configurationSchema());
  if (DevicePaths::sysroot() != root.getPath() || !tmp.mkdirs() || !schema.getParentFile().mkdirs() ||
      !File(ZEM_SOURCE_DIR "/schema/kolconfig.xsd").copyTo(schema) ||
      !File(DevicePaths::certificateFolder()).mkdirs()) {
    std::fprintf(stderr, "cannot lay out the test sysroot %s\n", root.getPath().c_str());
    return 1;
  }
  ::setenv("TMPDIR", tmp.getPath().c_str(), 1);
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
  // The test sysroot has no signing slot and the tests send unsigned containers: they run as a
  // development unit; a test of the refusal installs ScopedTrustBoundaries of its own.
  TrustBoundaries::set({{}, {}, true});
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
