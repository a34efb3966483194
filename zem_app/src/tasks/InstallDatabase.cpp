#include "tasks/InstallDatabase.h"

#include "database/Database.h"
#include "jobs/ConfigLoader.h"
#include "jobs/DiskSpaceChecker.h"
#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<InstallDatabase> registration("InstallZemDatabaseTaskDescription");

}  // namespace

InstallDatabase::InstallDatabase(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

InstallDatabase::~InstallDatabase() = default;

bool InstallDatabase::execute() {
  ZEM_INFO("Start installation of a ZEM database");
  const File storeFolder(DevicePaths::storeFolder());
  const File databaseFile(storeFolder, DevicePaths::kDatabaseFileName);

  bool allowed = true;
  if (databaseFile.exists()) {
    allowed = allowOverride(archive);
    if (!allowed) {
      ZEM_ERROR("Database is already installed at: " << databaseFile.getAbsolutePath() << " Remove it first! ");
    }
  }
  // Evaluated also when the install is refused: the check logs what the container would need.
  const bool space = DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize());

  bool success = false;
  if (allowed && space) {
    auto database = ConfigLoader::loadAndGet<Types::PersistedDatabase, Types::ElementType::ZEM_DATABASE>(
        archive, getSecurityService());
    if (database != nullptr) {
      ZEM_DEBUG("Database loaded");
      try {
        storeFolder.mkdirs();
        xmldoc::saveFile(*database, databaseFile.getPath());
        Database::getInstance()->reset();
        success = true;
      } catch (const XPlus::Exception& e) {
        ZEM_ERROR("Unable to write the ZEM database to: " << databaseFile.getAbsolutePath());
        ZEM_ERROR(e.what());
      }
    } else {
      ZEM_ERROR("Invalid ZEM database in Task Container!");
    }
  }

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void InstallDatabase::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::InstallZemDatabaseTaskResult>(folder, success);
}

bool InstallDatabase::allowOverride(const ZipArchive& container) const {
  const bool allowed =
      ConfigLoader::forcesOverride<Types::InstallZemDatabaseTaskDescription>(container, getSecurityService());
  if (allowed) {
    ZEM_DEBUG("Allowing override of database.");
  } else {
    ZEM_DEBUG("Override of ZEM database not allowed");
  }
  return allowed;
}
