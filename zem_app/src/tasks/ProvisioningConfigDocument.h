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

struct ProvisioningConfigDocument {
  using Content = Sarnet_Configuration::Types::ProvisioningConfig;
  static constexpr auto kEntryType = Sarnet_Configuration::Types::ElementType::PROVISIONING_CONFIG;
  using InstallDescription = Sarnet_Configuration::Types::InstallProvisioningConfigTaskDescription;
  using InstallResult = Sarnet_Configuration::Types::InstallProvisioningConfigTaskResult;
  using RemoveResult = Sarnet_Configuration::Types::DeleteProvisioningConfigTaskResult;
  using RequestResult = Sarnet_Configuration::Types::RequestProvisioningConfigTaskResult;

  static File folder();
  static const char* fileName();
  // Rebuilds the application's property map from the installed file; without one the map is
  // empty: deleting the configuration leaves the unit without properties.
  static void reload();

  static constexpr const char* kInstallStart = "Start installation of a Provisioning config";
  static constexpr const char* kAlreadyInstalled = "Config is already installed at: ";
  static constexpr const char* kOverrideAllowed = "Allowing override of config.";
  static constexpr const char* kOverrideRefused = "Override of config not allowed";
  static constexpr const char* kInvalid = "Invalid Job Config in Task Container!";
  static constexpr const char* kLoaded = "Job Config loaded";
  static constexpr const char* kUnwritable = "Unable to write the provisioning config to: ";
  static constexpr const char* kRemoveStart = "Start deletion of a Provisioning config";
  static constexpr const char* kRemoved = "Provisioning config removed";
  static constexpr const char* kUndeletable = "Unable to delete provisioning config at: ";
  static constexpr const char* kMissing = "Provisioning config does not exists at: ";
  static constexpr const char* kRequestStart = "Start requesting the current config";
};

using InstallProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kInstall>;
using DeleteProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRemove>;
using RequestProvisioningConfig = DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRequest>;

// Instantiated once, in ProvisioningConfigDocument.cpp.
extern template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kInstall>;
extern template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRemove>;
extern template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRequest>;
