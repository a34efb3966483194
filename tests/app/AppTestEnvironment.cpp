// Creates the temporary sysroot before the first test and removes it after the last one. If any
// code read the device paths before the sysroot was set, the program stops rather than run against
// the real device folders.
#include "AppTestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "kest/DevicePaths.h"
#include "kest/File.h"

namespace apptest {
namespace {

std::string& sysrootStorage() {
  static std::string path;
  return path;
}

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

class SysrootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = File::tmpFolder().getPath() + "/zem-app-tests-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) fail("cannot create the temporary sysroot");
    sysrootStorage() = pattern;
    setenv("ZEM_SYSROOT", pattern.c_str(), 1);
    if (DevicePaths::sysroot() != pattern) fail("device paths were composed before the test sysroot was set");
    const File schema(DevicePaths::configurationSchema());
    if (!schema.getParentFile().mkdirs() || !File(sourceSchemaFile()).copyTo(schema)) {
      fail("cannot install the schema into the test sysroot");
    }
  }
  void TearDown() override { File(sysrootStorage()).remove(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SysrootEnvironment);

}  // namespace

const std::string& sysroot() { return sysrootStorage(); }

std::string sourceSchemaFile() { return std::string(ZEM_SOURCE_DIR) + "/schema/kolconfig.xsd"; }

}  // namespace apptest
