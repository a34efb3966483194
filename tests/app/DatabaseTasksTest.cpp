// The database tasks end to end on a started application: each container runs through
// "JobAppeared", the queue and the task, and leaves its result package in the outbox. Also what
// start-up does for them: the store loaded, the leftovers of a crashed run removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "DiskSpaceChecker.h"
#include "RunningApp.h"
#include "database/Database.h"
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

  std::string storedString(const std::string& key) {
    const auto value = Database::getInstance()->getString(key);
    return value->isValid() ? value->str() : std::string("<none>");
  }
  // Announces `container`, waits for its package and returns it read back.
  ResultPackage runJob(const File& container) {
    const std::vector<File> before = outboxPackages();
    EXPECT_EQ(app_->announce(container.getPath()), 1);
    EXPECT_TRUE(waitUntil([&] { return outboxPackages().size() > before.size(); }));
    EXPECT_TRUE(waitUntil([&] { return !container.exists(); })) << "container not deleted";
    for (const File& package : outboxPackages()) {
      if (std::find(before.begin(), before.end(), package) == before.end()) return readPackage(package);
    }
    ADD_FAILURE() << "no new package for " << container.getPath();
    return ResultPackage();
  }

  static bool succeeded(const ResultPackage& package) {
    return package.result != nullptr && package.result->element_errorInfo() != nullptr &&
           package.result->element_errorInfo()->get_success();
  }
  // Stops the application, lays out the device with `layout` and starts the application again.
  template <class Layout>
  void restart(Layout layout) {
    app_.reset();
    freshDevice();
    layout();
    app_ = std::make_unique<RunningApp>(RunningApp::Options{false, true, false});
  }

  std::unique_ptr<RunningApp> app_ = std::make_unique<RunningApp>(RunningApp::Options{false, true, true});
};

TEST_F(DatabaseTasksTest, InstallWritesAndReloadsAndReplacesADatabaseOnlyWithForceOverride) {
  LogCapture log;
  const auto package = runJob(install("install.zip", "inst-1", "", "old"));
  EXPECT_TRUE(succeeded(package));
  EXPECT_EQ(package.result->typeName(), "InstallZemDatabaseTaskResult");
  EXPECT_EQ(package.indexTypes.at("result.xml"), "TASK_RESULT");
  EXPECT_EQ(storedString("name"), "old");

  const std::string before = readFile(databaseFile());
  EXPECT_FALSE(succeeded(runJob(install("keep.zip", "no-force"))));
  EXPECT_FALSE(succeeded(runJob(install("false.zip", "f", "forceOverride=\"false\""))));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Database is already installed at: " +
                                                           databaseFile().getAbsolutePath() + " Remove it first! "));
  EXPECT_EQ(readFile(databaseFile()), before);
  EXPECT_EQ(storedString("name"), "old");
  EXPECT_TRUE(succeeded(runJob(install("force.zip", "force", "forceOverride=\"true\""))));
  EXPECT_EQ(storedString("name"), "new");
}

TEST_F(DatabaseTasksTest, InstallFailsWithoutDatabaseEntryOrWithoutRoom) {
  LogCapture log;
  EXPECT_FALSE(succeeded(runJob(plain("missing.zip", "InstallZemDatabaseTaskDescription", "m"))));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Invalid ZEM database in Task Container!"));
  // A payload bigger than the ceiling (1 KiB here) fails the disk-space check before extraction.
  app_->settings().getDocument()->set_maximumDataSize(1);
  log.clear();
  EXPECT_FALSE(succeeded(runJob(install("big.zip", "big", "", std::string(4096, 'x')))));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Used disk space is too high (used = "));
  EXPECT_FALSE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "Database loaded"));
  EXPECT_FALSE(databaseFile().exists());
}

TEST_F(DatabaseTasksTest, ResetDeletesTheDatabaseOrReportsWhyNot) {
  const std::string missing = "ZEM database does not exists at: " + databaseFile().getAbsolutePath();
  LogCapture log;
  const auto nothing = runJob(plain("reset-none.zip", "ResetZemDatabaseTaskDescription", "r0"));
  EXPECT_FALSE(succeeded(nothing));
  EXPECT_EQ(nothing.result->typeName(), "ResetZemDatabaseTaskResult");
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, missing));

  ASSERT_TRUE(succeeded(runJob(install("install.zip", "i", "", "old"))));
  EXPECT_TRUE(succeeded(runJob(plain("reset.zip", "ResetZemDatabaseTaskDescription", "r2"))));
  EXPECT_FALSE(databaseFile().exists());
  EXPECT_EQ(storedString("name"), "<none>");
}

TEST_F(DatabaseTasksTest, AFreshUnitSendsItsDefaultDatabaseAndStillReportsWhenTheFileIsMissing) {
  const std::string defaults = databaseXml(entryXml("origin", valueXml("String", "factory")));
  restart([&] {
    ASSERT_TRUE(
        File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kDatabaseFileName).writeAtomically(defaults));
  });
  const auto sent = runJob(plain("request.zip", "RequestZemDatabaseTaskDescription", "q1"));
  EXPECT_TRUE(succeeded(sent));
  EXPECT_EQ(sent.result->typeName(), "RequestZemDatabaseTaskResult");
  EXPECT_EQ(sent.entries.at("database.xml"), defaults);
  EXPECT_EQ(sent.indexTypes.at("database.xml"), "ZEM_DATABASE");

  ASSERT_TRUE(databaseFile().remove());
  LogCapture log;
  const auto missing = runJob(plain("request-none.zip", "RequestZemDatabaseTaskDescription", "q2"));
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
