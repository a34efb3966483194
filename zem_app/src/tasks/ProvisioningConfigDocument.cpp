#include "tasks/ProvisioningConfigDocument.h"

#include "app/ZemApp.h"

const DocumentTexts ProvisioningConfigDocument::kTexts = {"Start installation of a Provisioning config",
                                                          "Config is already installed at: ",
                                                          "Allowing override of config.",
                                                          "Override of config not allowed",
                                                          "Invalid Job Config in Task Container!",
                                                          "Job Config loaded",
                                                          "Unable to write the provisioning config to: ",
                                                          "Start deletion of a Provisioning config",
                                                          "Provisioning config removed",
                                                          "Unable to delete provisioning config at: ",
                                                          "Provisioning config does not exists at: ",
                                                          "Start requesting the current config"};

File ProvisioningConfigDocument::installedFile() {
  return File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName);
}

void ProvisioningConfigDocument::reload() { getApp()->reloadProvisioningAdapterMap(); }
