#include "tasks/DeleteProvisioningConfig.h"

#include "app/ZemApp.h"
#include "jobs/DiskSpaceChecker.h"
#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<DeleteProvisioningConfig> registration("DeleteProvisioningConfigTaskDescription");

}  // namespace

DeleteProvisioningConfig::DeleteProvisioningConfig(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

DeleteProvisioningConfig::~DeleteProvisioningConfig() = default;

bool DeleteProvisioningConfig::execute() {
  ZEM_INFO("Start deletion of a Provisioning config");
  const File configFile(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName);

  bool success = false;
  if (!DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize())) {
    success = false;
  } else if (configFile.exists()) {
    if (configFile.remove()) {
      ZEM_INFO("Provisioning config removed");
      getApp()->reloadProvisioningAdapterMap();
      success = true;
    } else {
      ZEM_ERROR("Unable to delete provisioning config at: " << configFile.getAbsolutePath());
    }
  } else {
    ZEM_ERROR("Provisioning config does not exists at: " << configFile.getAbsolutePath());
  }

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void DeleteProvisioningConfig::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::DeleteProvisioningConfigTaskResult>(folder, success);
}
