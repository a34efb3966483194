#include "tasks/RequestProvisioningConfig.h"

#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<RequestProvisioningConfig> registration("RequestProvisioningConfigTaskDescription");

File installedConfig() { return File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName); }

}  // namespace

RequestProvisioningConfig::RequestProvisioningConfig(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

RequestProvisioningConfig::~RequestProvisioningConfig() = default;

bool RequestProvisioningConfig::execute() {
  ZEM_INFO("Start requesting the current config");
  const File config = installedConfig();
  const bool success = config.exists();
  if (!success) ZEM_ERROR("Provisioning config does not exists at: " << config.getAbsolutePath());

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void RequestProvisioningConfig::createTaskResults(const File& folder, bool success) {
  // Attempted whatever the outcome; a missing configuration simply leaves no copy. The installed
  // file is only ever replaced by rename, so a snapshot (a link where possible) is a true copy of
  // the file as it was, and the result folder is only read.
  installedConfig().snapshotTo(File(folder, DevicePaths::kConfigFileName));
  ZemTask::createTaskResults<Types::RequestProvisioningConfigTaskResult>(folder, success);
}
