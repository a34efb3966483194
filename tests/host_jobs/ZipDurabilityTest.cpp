// ZipArchive writes through the one durable writer: a written package is signed before it takes
// its name, and every file takes its name by an fsync, a rename and a flush of its folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "JobsTestSupport.h"
#include "kest/PosixFileOps.h"
#include "kest/zip/ZipArchive.h"

namespace {

std::vector<std::string> g_steps;  // the writer's steps while a Recorder lives

// Records fsync, rename (with the target's name) and folder opens, then does them.
class Recorder {
 public:
  Recorder() : seam_(recording()) { g_steps.clear(); }

 private:
  static PosixFileOps recording() {
    PosixFileOps ops = posixFileOps();
    ops.fsync = [](int fd) { return g_steps.push_back("fsync"), ::fsync(fd); };
    ops.rename = [](const char* from, const char* to) {
      return g_steps.push_back("rename " + File(to).getName()), ::rename(from, to);
    };
    ops.openDirectory = [](const char* path) {
      return g_steps.push_back("folder"), xmldoc::defaultFileIo().openDirectory(path);
    };
    return ops;
  }
  ScopedPosixFileOps seam_;
};

// The steps that put `name` in place: flushed, renamed, folder flushed.
bool committedDurably(const std::string& name) {
  const auto at = std::find(g_steps.begin(), g_steps.end(), "rename " + name);
  return at != g_steps.begin() && at != g_steps.end() && g_steps.end() - at >= 3 && at[-1] == "fsync" &&
         at[1] == "folder" && at[2] == "fsync";
}

TEST(ZipDurabilityTest, PackagesAreSignedFirstAndEveryFileIsCommittedDurably) {
  jobs_test::prepareDevice();
  const File folder = jobs_test::freshFolder("durable"), source(folder, "db.xml"), package(folder, "P.zip");
  jobs_test::writeFile(source, std::string(200000, 'x'));
  {
    const Recorder recorder;
    ZipArchive archive = ZipArchive::create(package.getPath());
    archive.addFile("db.xml", source);
    archive.close(Security::SignatureGenerator([&](const File&) {
      g_steps.push_back(package.exists() ? "signed late" : "signed");
      return std::string("SIG");
    }));
    EXPECT_TRUE(committedDurably("P.zip"));
    EXPECT_EQ(std::count(g_steps.begin(), g_steps.end(), "signed"), 1);
    EXPECT_LT(std::find(g_steps.begin(), g_steps.end(), "signed") - g_steps.begin(),
              std::find(g_steps.begin(), g_steps.end(), "rename P.zip") - g_steps.begin());
  }
  EXPECT_LT(package.size(), 200000u / 10);  // still deflated
  const Recorder recorder;
  ZipArchive::openForReading(package.getPath())
      .extract("db.xml", File(folder, "out"), "copy.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  EXPECT_TRUE(committedDurably("copy.xml"));
  EXPECT_EQ(jobs_test::readFile(File(File(folder, "out"), "copy.xml")), std::string(200000, 'x'));
}

}  // namespace
