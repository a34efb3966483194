// Task kind "InstallZemDatabaseTaskDescription": installs the container's database document as the
// application's persistent database and makes the store reload it.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class InstallDatabase : public ZemTask {
 public:
  InstallDatabase(const ZipArchive& archive, DescriptionPtr description);
  ~InstallDatabase() override;

  // Installs the ZEM_DATABASE document of the container unless a database is installed and the
  // description does not allow replacing it, or the data folder lacks room for the container.
  // Reports the result, deletes the container and returns the success flag. Does not throw for
  // these outcomes; a failed install leaves the file and the store untouched.
  bool execute() override;
  // Writes "result.xml" (InstallZemDatabaseTaskResult).
  void createTaskResults(const File& folder, bool success) override;

  // True when the container's description is an InstallZemDatabaseTaskDescription whose
  // forceOverride is true.
  bool allowOverride(const ZipArchive& container) const;
};
