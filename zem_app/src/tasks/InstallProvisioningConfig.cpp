#include "tasks/InstallProvisioningConfig.h"

#include "app/ZemApp.h"
#include "jobs/ConfigLoader.h"
#include "jobs/DiskSpaceChecker.h"
#include "jobs/TaskTypeRegistration.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<InstallProvisioningConfig> registration("InstallProvisioningConfigTaskDescription");

}  // namespace

InstallProvisioningConfig::InstallProvisioningConfig(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

InstallProvisioningConfig::~InstallProvisioningConfig() = default;

bool InstallProvisioningConfig::execute() {
  ZEM_INFO("Start installation of a Provisioning config");
  const File configsFolder(DevicePaths::installedConfigFolder());
  const File configFile(configsFolder, DevicePaths::kConfigFileName);

  bool allowed = true;
  if (configFile.exists()) {
    allowed = allowOverride(archive);
    if (!allowed) ZEM_ERROR("Config is already installed at: " << configFile.getAbsolutePath() << " Remove it first! ");
  }
  // Evaluated also when the install is refused: the check logs what the container would need.
  const bool space = DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize());

  bool success = false;
  if (allowed && space) {
    xmldoc::DocumentPtr<Types::ProvisioningConfig> config;
    try {
      config = ConfigLoader::loadAndGet<Types::ProvisioningConfig, Types::ElementType::PROVISIONING_CONFIG>(
          archive, getSecurityService());
    } catch (const XSDEnumException& e) {  // an index entry of an unknown type: no usable document
      ZEM_ERROR(e.what());
    }
    if (config != nullptr) {
      try {
        configsFolder.mkdirs();
        xmldoc::saveFile(*config, configFile.getPath());
        getApp()->reloadProvisioningAdapterMap();
        ZEM_DEBUG("Job Config loaded");
        success = true;
      } catch (const XPlus::Exception& e) {
        ZEM_ERROR("Unable to write the provisioning config to: " << configFile.getAbsolutePath());
        ZEM_ERROR(e.what());
      }
    } else {
      ZEM_ERROR("Invalid Job Config in Task Container!");
    }
  }

  reportResults(success);
  cleanUpZipContainer();
  return success;
}

void InstallProvisioningConfig::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::InstallProvisioningConfigTaskResult>(folder, success);
}

bool InstallProvisioningConfig::allowOverride(const ZipArchive& container) const {
  const bool allowed =
      ConfigLoader::forcesOverride<Types::InstallProvisioningConfigTaskDescription>(container, getSecurityService());
  if (allowed) {
    ZEM_DEBUG("Allowing override of config.");
  } else {
    ZEM_DEBUG("Override of config not allowed");
  }
  return allowed;
}
