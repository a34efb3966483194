// Task kind "RequestProvisioningConfigTaskDescription": sends the installed provisioning
// configuration, as it lies on disk, back in the result package.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class RequestProvisioningConfig : public ZemTask {
 public:
  RequestProvisioningConfig(const ZipArchive& archive, DescriptionPtr description);
  ~RequestProvisioningConfig() override;

  // Succeeds when "config.xml" is installed. Reports the result, deletes the container and
  // returns the success flag.
  bool execute() override;
  // Copies the installed configuration into `folder` as "config.xml" (skipped when there is none),
  // then writes "result.xml" (RequestProvisioningConfigTaskResult).
  void createTaskResults(const File& folder, bool success) override;
};
