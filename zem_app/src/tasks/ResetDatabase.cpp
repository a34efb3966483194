#include "tasks/ResetDatabase.h"

#include "database/Database.h"
#include "jobs/DiskSpaceChecker.h"
#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<ResetDatabase> registration("ResetZemDatabaseTaskDescription");

}  // namespace

ResetDatabase::ResetDatabase(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

ResetDatabase::~ResetDatabase() = default;

bool ResetDatabase::execute() {
  ZEM_INFO("Start resetting ZEM database");
  const File databaseFile(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName);

  bool success = false;
  if (!DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize())) {
    success = false;
  } else if (databaseFile.exists()) {
    if (databaseFile.remove()) {
      ZEM_INFO("ZEM database removed");
      Database::getInstance()->reset();
      success = true;
    } else {
      ZEM_ERROR("Unable to delete ZEM database at: " << databaseFile.getAbsolutePath());
    }
  } else {
    ZEM_ERROR("ZEM database does not exists at: " << databaseFile.getAbsolutePath());
  }

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void ResetDatabase::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::ResetZemDatabaseTaskResult>(folder, success);
}
