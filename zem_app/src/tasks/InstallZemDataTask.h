// Task kind "InstallZemDataTaskDescription": installs the global-settings file delivered in the
// container and makes the running application follow it.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class InstallZemDataTask : public ZemTask {
 public:
  InstallZemDataTask(const ZipArchive& archive, DescriptionPtr description);
  ~InstallZemDataTask() override;

  // Installs the container's files (installFiles), reports the outcome, deletes the container and
  // returns the outcome.
  bool execute() override;
  // Task::HIGHEST: a settings change must not wait behind long jobs.
  int getPriority() const override;
  // Writes "result.xml" (InstallZemDataTaskResult).
  void createTaskResults(const File& folder, bool success) override;

  // Walks the container's index in order: each ZEM_GLOBAL_SETTINGS entry is extracted (decrypted,
  // signature checked for key number 2), validated against the schema and read as global settings
  // under a temporary name, then renamed durably over "settings.xml" and followed by
  // reloadConfig(); other types are logged at DEBUG and skipped. Returns true; false on the first
  // failure, with error code 4 and "Impossible to install ZEM data: " + reason (logged at ERROR).
  // A refused file leaves the installed settings as they were; files installed before stay.
  bool installFiles();
  // Reloads the global settings, then sets the task queue's replay history size and the
  // logger's level (when the document names one) from them.
  void reloadConfig();
};
