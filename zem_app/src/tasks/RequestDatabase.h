// Task kind "RequestZemDatabaseTaskDescription": sends the persistent database file, as it lies on
// disk, back in the result package.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class RequestDatabase : public ZemTask {
 public:
  RequestDatabase(const ZipArchive& archive, DescriptionPtr description);
  ~RequestDatabase() override;

  // Succeeds when the database file exists. Reports the result, deletes the container and returns
  // the success flag.
  bool execute() override;
  // Copies the database file into `folder` as "database.xml" (skipped when there is none), then
  // writes "result.xml" (RequestZemDatabaseTaskResult).
  void createTaskResults(const File& folder, bool success) override;
};
