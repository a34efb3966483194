// Task kind "DeleteProvisioningConfigTaskDescription": deletes the installed provisioning
// configuration and rebuilds the property map (empty until a configuration is installed again).
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class DeleteProvisioningConfig : public ZemTask {
 public:
  DeleteProvisioningConfig(const ZipArchive& archive, DescriptionPtr description);
  ~DeleteProvisioningConfig() override;

  // Deletes "config.xml" from CONFIGS when the data folder has room for the container and the
  // file exists. Reports the result, deletes the container and returns the success flag.
  bool execute() override;
  // Writes "result.xml" (DeleteProvisioningConfigTaskResult).
  void createTaskResults(const File& folder, bool success) override;
};
