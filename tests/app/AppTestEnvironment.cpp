// Creates the temporary sysroot before the first test and removes it after the last one. If any
// code read the device paths before the sysroot was set, the program stops rather than run against
// the real device folders.
#include "AppTestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kest/DevicePaths.h"
#include "kest/File.h"

namespace apptest {
namespace {

std::string& sysrootStorage() {
  static std::string path;
  return path;
}

class SysrootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = File::tmpFolder().getPath() + "/zem-app-tests-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      std::fprintf(stderr, "cannot create the temporary sysroot\n");
      std::abort();
    }
    sysrootStorage() = buffer.data();
    setenv("ZEM_SYSROOT", sysrootStorage().c_str(), 1);
    if (DevicePaths::sysroot() != sysrootStorage()) {
      std::fprintf(stderr, "device paths were composed before the test sysroot was set\n");
      std::abort();
    }
    const File schema(DevicePaths::configurationSchema());
    if (!schema.getParentFile().mkdirs() || !File(sourceSchemaFile()).copyTo(schema)) {
      std::fprintf(stderr, "cannot install the schema into the test sysroot\n");
      std::abort();
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
