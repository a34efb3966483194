// The provisioning configuration as a document of the document tasks: "config.xml" in CONFIGS,
// from which the application builds its property map. The task kinds over it:
// - InstallProvisioningConfig ("InstallProvisioningConfigTaskDescription") installs the
//   container's PROVISIONING_CONFIG document and rebuilds the property map from it;
// - DeleteProvisioningConfig ("DeleteProvisioningConfigTaskDescription") deletes it; the property
//   map is then empty until a configuration is installed again;
// - RequestProvisioningConfig ("RequestProvisioningConfigTaskDescription") sends it back, as it
//   lies on disk, in the result package.
// Thread safety: stateless; the tasks run on the queue's worker thread only.
#pragma once

#include "tasks/DocumentTask.h"

struct ProvisioningConfigDocument : DocumentTypes<Sarnet_Configuration::Types::ProvisioningConfig,
                                                  Sarnet_Configuration::Types::ElementType::PROVISIONING_CONFIG,
                                                  Sarnet_Configuration::Types::InstallProvisioningConfigTaskDescription,
                                                  Sarnet_Configuration::Types::InstallProvisioningConfigTaskResult,
                                                  Sarnet_Configuration::Types::DeleteProvisioningConfigTaskResult,
                                                  Sarnet_Configuration::Types::RequestProvisioningConfigTaskResult> {
  static File installedFile();
  // Rebuilds the application's property map from the installed file; without one the map is
  // empty: deleting the configuration leaves the unit without properties.
  static void reload();
  static const DocumentTexts kTexts;
};

using InstallProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kInstall>;
using DeleteProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRemove>;
using RequestProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRequest>;
