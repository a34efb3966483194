// Packages are signed, then committed durably; oversized descriptions and long ids are bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "ZemTestSupport.h"
#include "kest/PosixFileOps.h"
#include "kest/task/CtpTask.h"
#include "kest/testing/LogCapture.h"
#include "kest/zip/ZipArchive.h"

// The durable writer's steps: "fsync", "rename NAME", "folder", and "signed" for a signature.
static std::vector<std::string> g_steps;
static int fsyncStep(int fd) { return g_steps.push_back("fsync"), ::fsync(fd); }
static int mv(const char* f, const char* t) { return g_steps.push_back("rename " + File(t).getName()), ::rename(f, t); }
static int dir(const char* path) { return g_steps.push_back("folder"), xmldoc::defaultFileIo().openDirectory(path); }

// True when `name` took its place by fsync, rename and folder flush, after the step `before`.
static bool committed(const std::string& name, const std::string& before) {
  const auto at = std::find(g_steps.begin(), g_steps.end(), "rename " + name);
  return std::find(g_steps.begin(), at, before) != at && g_steps.end() - at >= 3 && at[-1] == "fsync" &&
         at[1] == "folder" && at[2] == "fsync";
}

TEST(ZipCommitTest, PackagesAreSignedBeforeTheirDurableCommitAndEntriesCommittedDurably) {
  const File folder = zem_test::freshFolder("commit"), source(folder, "db.xml"), package(folder, "P.zip");
  zem_test::writeFile(source, std::string(200000, 'x'));
  PosixFileOps ops = posixFileOps();
  std::tie(ops.fsync, ops.rename, ops.openDirectory) = std::make_tuple(&fsyncStep, &mv, &dir);
  const ScopedPosixFileOps seam(ops);
  g_steps = {"start"};
  ZipArchive archive = ZipArchive::create(package.getPath());
  archive.addFile("db.xml", source);
  archive.close(
      Security::SignatureGenerator([](const File&) { return g_steps.push_back("signed"), std::string("S"); }));
  EXPECT_TRUE(committed("P.zip", "signed"));
  EXPECT_EQ(zem_test::readFile(File(folder, "P.zip.sig")), "S\n");
  ZipArchive::openForReading(package.getPath()).extract("db.xml", folder, "copy.xml", {}, {});
  EXPECT_TRUE(committed("copy.xml", "start"));
}

TEST(ZipCommitTest, AnIndexDeclaringMoreThanTwoMebibytesIsRefusedBeforeExtraction) {
  const File folder = zem_test::freshFolder("cap"), container(folder, "c.zip");
  const auto cap = static_cast<uint32_t>(ZipArchive::kMaxIndexSize);
  for (const auto& [name, declared, code] :
       std::vector<std::tuple<std::string, uint32_t, int>>{{"index.xml", cap + 1, ZipException::kSizeLimit},
                                                           {"index.xml", cap, ZipException::kReadFailure},
                                                           {"other.xml", cap + 1, ZipException::kReadFailure}}) {
    zem_test::Entry entry{name, "<k:config/>"};  // short: found out while reading
    entry.declaredSize = declared;
    zem_test::makeZip(container, {entry});
    try {
      ZipArchive::openForReading(container.getPath()).extract(name, folder, "x", {}, {});
      ADD_FAILURE() << name;
    } catch (const ZipException& e) {
      EXPECT_EQ(e.getCode(), code) << e.what();
    }
  }
}

TEST(ZipCommitTest, AHugeTaskIdIsCutBeforeTheRestOfItsLogLine) {
  struct Bare : CtpTask {
    using CtpTask::CtpTask;
    bool execute() override { return true; }
  };
  auto description = xmldoc::createDocument<Sarnet_Configuration::Types::TaskDescription>();
  description->set_taskId(std::string(1 << 20, 'n'));
  kest::testing::LogCapture log;
  Bare(std::move(description)).notifyResultPackage("/outbox/P.zip");
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "...[1048576 bytes] placed at /outbox/P.zip"));
}
