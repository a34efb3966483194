#include "kest/TrustBoundaries.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kest/DevicePaths.h"

namespace fs = std::filesystem;

TEST(TrustBoundariesTest, AFileCountsOnlyWhenItsRealPathLiesBelowATrustedFolder) {
  const fs::path base = fs::path(DevicePaths::sysroot()) / "trust";
  for (const char* file : {"lib/good.so", "libx/sibling.so", "other/secret"}) {
    fs::create_directories((base / file).parent_path());
    std::ofstream(base / file) << "x";
  }
  fs::create_symlink(base / "other/secret", base / "lib/escape");
  fs::create_symlink(base / "lib/good.so", base / "other/inward");
  const std::string lib = (base / "lib").string();
  const std::vector<std::string> folders{(base / "missing").string(), lib};

  const struct {
    std::string path;
    bool taken;
  } cases[] = {{lib + "/good.so", true},
               {lib + "/../lib/good.so", true},
               {(base / "other/inward").string(), true},  // a link from outside to a file inside: its real path counts
               {lib + "/escape", false},                  // a link inside that leads out
               {lib + "/../other/secret", false},
               {(base / "libx/sibling.so").string(), false},  // a sibling whose name starts like the folder
               {lib, false},                                  // the folder itself
               {lib + "/absent.so", false},
               {"", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(TrustBoundaries::containedRealPath(c.path, folders).value_or("refused"),
              c.taken ? fs::canonical(base / "lib/good.so").string() : "refused")
        << c.path;
  }

  const ScopedTrustBoundaries scoped({{lib}, {}, true});
  EXPECT_EQ(TrustBoundaries::libraryFolders(),
            (std::vector<std::string>{DevicePaths::deviceRoot() + "/usr/lib/zem", lib}));
  EXPECT_EQ(TrustBoundaries::logFolders().front(), DevicePaths::sysroot() + "/cache/var/log");
}
