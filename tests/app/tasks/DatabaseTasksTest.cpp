// The database tasks end to end on a started application: each container runs through
// "JobAppeared", the queue and the task, and leaves its result package in the outbox. Also what
// start-up does for them: the store loaded, the leftovers of a crashed run removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

using kest::testing::LogCapture;
using namespace apptest;

class DatabaseTasksTest : public ::testing::Test {
 protected:
  File databaseFile() const { return File(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName); }
  File install(const std::string& name, const std::string& id, const std::string& attributes = "",
               const std::string& value = "new") {
    return makeJob(inboxFile(name), description("InstallZemDatabaseTaskDescription", id, attributes),
                   {{"ZEM_DATABASE", {"db.xml", databaseXml(entryXml("name", valueXml("String", value)))}}});
  }
  File plain(const std::string& name, const char* type, const std::string& id) {
    return makeJob(inboxFile(name), description(type, id));
  }

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

// The database operations in sequence on one unit: one row per job, with its outcome, the value
// stored afterwards (in memory and in the file) and the ERROR it logs.
TEST_F(DatabaseTasksTest, InstallNeedsForceOverrideToReplaceAndResetReportsAMissingDatabase) {
  const std::string at = databaseFile().getAbsolutePath(), installed = "Database is already installed at: " + at;
  const char *const kInstall = "InstallZemDatabaseTaskDescription", *const kReset = "ResetZemDatabaseTaskDescription";
  struct Row {
    std::function<File()> container;
    bool success;
    std::string stored;  // "<none>": no database
    std::string error;
  };
  const Row rows[] = {
      {[&] { return plain("reset-none.zip", kReset, "r0"); }, false, "<none>",
       "ZEM database does not exists at: " + at},
      {[&] { return plain("empty.zip", kInstall, "e"); }, false, "<none>", "Invalid ZEM database in Task Container!"},
      {[&] { return install("install.zip", "i", "", "old"); }, true, "old", ""},
      {[&] { return install("keep.zip", "no-force"); }, false, "old", installed + " Remove it first! "},
      {[&] { return install("false.zip", "f", "forceOverride=\"false\""); }, false, "old", installed},
      {[&] { return install("force.zip", "force", "forceOverride=\"true\""); }, true, "new", ""},
      {[&] { return plain("reset.zip", kReset, "r1"); }, true, "<none>", ""},
  };
  for (const Row& row : rows) {
    LogCapture log;
    const File container = row.container();
    SCOPED_TRACE(container.getName());
    const auto package = app_->runJob(container);
    EXPECT_EQ(succeeded(package), row.success);
    EXPECT_EQ(package.indexTypes.at("result.xml"), "TASK_RESULT");
    const auto stored = Database::getInstance()->getString("name");
    EXPECT_EQ(stored->isValid() ? stored->str() : "<none>", row.stored);
    EXPECT_EQ(databaseFile().exists(), row.stored != "<none>");
    EXPECT_TRUE(!databaseFile().exists() || readFile(databaseFile()).find(">" + row.stored + "<") != std::string::npos);
    EXPECT_TRUE(row.error.empty() || log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << row.error;
  }
  // A payload bigger than the ceiling (1 KiB here) fails the disk-space check before extraction.
  app_->settings().getDocument()->set_maximumDataSize(1);
  LogCapture log;
  EXPECT_FALSE(succeeded(app_->runJob(install("big.zip", "big", "", std::string(4096, 'x')))));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Used disk space is too high (used = "));
  EXPECT_FALSE(databaseFile().exists());
}

TEST_F(DatabaseTasksTest, AFreshUnitSendsItsDefaultDatabaseAndStillReportsWhenTheFileIsMissing) {
  const std::string defaults = databaseXml(entryXml("origin", valueXml("String", "factory")));
  restart([&] {
    ASSERT_TRUE(
        File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kDatabaseFileName).writeAtomically(defaults));
  });
  const auto sent = app_->runJob(plain("request.zip", "RequestZemDatabaseTaskDescription", "q1"));
  EXPECT_TRUE(succeeded(sent));
  EXPECT_EQ(sent.result->typeName(), "RequestZemDatabaseTaskResult");
  EXPECT_EQ(sent.entries.at("database.xml"), defaults);
  EXPECT_EQ(sent.indexTypes.at("database.xml"), "ZEM_DATABASE");

  ASSERT_TRUE(databaseFile().remove());
  LogCapture log;
  const auto missing = app_->runJob(plain("request-none.zip", "RequestZemDatabaseTaskDescription", "q2"));
  EXPECT_FALSE(succeeded(missing));
  EXPECT_EQ(missing.result->get_taskId(), "q2");
  EXPECT_EQ(missing.entries.count("database.xml"), 0u);
  EXPECT_TRUE(
      log.contains(log4cplus::ERROR_LOG_LEVEL, "ZEM database does not exists at: " + databaseFile().getAbsolutePath()));
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

}  // namespace
