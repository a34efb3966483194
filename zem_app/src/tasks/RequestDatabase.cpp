#include "tasks/RequestDatabase.h"

#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<RequestDatabase> registration("RequestZemDatabaseTaskDescription");

File databaseFile() { return File(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName); }

}  // namespace

RequestDatabase::RequestDatabase(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

RequestDatabase::~RequestDatabase() = default;

bool RequestDatabase::execute() {
  ZEM_INFO("Start requesting the current ZEM database");
  const File database = databaseFile();
  const bool success = database.exists();
  if (!success) ZEM_ERROR("ZEM database does not exists at: " << database.getAbsolutePath());

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void RequestDatabase::createTaskResults(const File& folder, bool success) {
  // The copy is attempted whatever the outcome; a missing database simply leaves no copy. The
  // result folder is temporary and only read (the package is what is made durable): a snapshot
  // (a link to the current file, which the store only ever replaces by rename) will do.
  databaseFile().snapshotTo(File(folder, DevicePaths::kDatabaseFileName));
  ZemTask::createTaskResults<Types::RequestZemDatabaseTaskResult>(folder, success);
}
