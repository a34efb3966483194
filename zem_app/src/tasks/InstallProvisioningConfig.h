// Task kind "InstallProvisioningConfigTaskDescription": installs the container's provisioning
// configuration as the unit's "config.xml" and rebuilds the property map from it.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class InstallProvisioningConfig : public ZemTask {
 public:
  InstallProvisioningConfig(const ZipArchive& archive, DescriptionPtr description);
  ~InstallProvisioningConfig() override;

  // Installs the PROVISIONING_CONFIG document of the container unless a configuration is
  // installed and the description does not allow replacing it, or the data folder lacks room for
  // the container. Reports the result, deletes the container and returns the success flag. Does
  // not throw for these outcomes; a failed install leaves the installed file and the map untouched
  // (the file is replaced durably in one rename, or not at all).
  bool execute() override;
  // Writes "result.xml" (InstallProvisioningConfigTaskResult).
  void createTaskResults(const File& folder, bool success) override;

  // True when the container's description is an InstallProvisioningConfigTaskDescription whose
  // forceOverride is true.
  bool allowOverride(const ZipArchive& container) const;
};
