// What the database tasks meet beyond the document tasks' table (DocumentTasksTest): a fresh unit's
// default database sent back, what start-up does for them (the store loaded, the leftovers of a
// crashed run removed), and the disk-space ceiling they are held to.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "database/Database.h"
#include "jobs/DiskSpaceChecker.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/ZemSettings.h"
#include "kest/testing/LogCapture.h"

namespace {

using namespace apptest;
using kest::testing::LogCapture;

class DatabaseTasksTest : public ::testing::Test {
 protected:
  File databaseFile() const { return File(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName); }

  // Stops the application, lays out the device with `layout` and starts the application again.
  template <class Layout>
  void restart(Layout layout) {
    app_.reset();
    freshDevice();
    layout();
    app_ = std::make_unique<RunningApp>(RunningApp::Options{true, false});
  }

  std::unique_ptr<RunningApp> app_ = std::make_unique<RunningApp>(RunningApp::Options{true, true});
};

TEST_F(DatabaseTasksTest, AFreshUnitSendsItsDefaultDatabase) {
  const std::string defaults = databaseXml(entryXml("origin", valueXml("String", "factory")));
  restart([&] {
    ASSERT_TRUE(
        File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kDatabaseFileName).writeAtomically(defaults));
  });
  const auto sent =
      app_->runJob(makeJob(inboxFile("request.zip"), description("RequestZemDatabaseTaskDescription", "q1")));
  EXPECT_TRUE(succeeded(sent));
  EXPECT_EQ(sent.entries.at("database.xml"), defaults);
  EXPECT_EQ(sent.indexTypes.at("database.xml"), "ZEM_DATABASE");
}

TEST_F(DatabaseTasksTest, StartUpRemovesWhatACrashedRunLeftAndTheCeilingIgnoresTemporaryFolders) {
  const File store(DevicePaths::storeFolder());
  const File ownTemporary(File(DevicePaths::applicationDataFolder()), TempFile::kPrivateFolderName);
  restart([&] {
    // What a process killed in the middle of a save and of filling a result folder leaves.
    ASSERT_TRUE(store.mkdirs() && File(ownTemporary, "resultAb12Cd").mkdirs());
    ASSERT_TRUE(File(ownTemporary, "resultAb12Cd/database.xml").writeAtomically("partial"));
    ASSERT_TRUE(File(store, ".database.xml.tmpXy34Zw").writeAtomically("<?xml"));
    ASSERT_TRUE(File(store, "notes.tmp").writeAtomically("kept"));
  });
  EXPECT_EQ(names(store), std::vector<std::string>{"notes.tmp"});
  EXPECT_TRUE(names(ownTemporary).empty());

  // A result folder in the private folder does not count against the ceiling.
  const TempFile result("result");
  EXPECT_EQ(result.getFile().getParentFile(), ownTemporary);
  ASSERT_TRUE(File(result.getFile(), "big").writeAtomically(std::string(200000, 'x')));
  const uint64_t used = File(DevicePaths::applicationDataFolder()).totalSize(ownTemporary);
  app_->settings().getDocument()->set_maximumDataSize(static_cast<uint32_t>(used / 1024 + 1));
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(0));
}

// The ceiling of a folder: the exact boundary, the message, and the unsigned 32-bit arithmetic.
TEST(DiskSpaceCheckerTest, BoundaryMessageAndUnsigned32BitSum) {
  const TempFile folder("diskspace");
  // 102000 bytes in two files, one of them in a subfolder.
  ASSERT_TRUE(File(folder.getFile(), "a.bin").writeAtomically(std::string(100000, 'a')));
  ASSERT_TRUE(File(folder.getFile(), "sub").mkdirs());
  ASSERT_TRUE(File(folder.getFile(), "sub/b.bin").writeAtomically(std::string(2000, 'b')));

  LogCapture log;
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, 400));
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "usedSpace = 102400 / maxSize = 102400"));
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, 401));
  const std::string total = std::to_string(folder.getFile().fileSystemTotalSpace());
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Used disk space is too high (used = 102401 bytes / total = " + total + " bytes"),
            1u)
      << log.dump();

  // 102000 + (2^32 - 101999) wraps to 1 byte; a ceiling of 0 KiB lets only an empty sum pass.
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, (1L << 32) - 101999));
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 0, 0));
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 0, -102000));
}

}  // namespace
