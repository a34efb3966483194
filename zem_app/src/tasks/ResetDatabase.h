// Task kind "ResetZemDatabaseTaskDescription": deletes the persistent database file and makes the
// store reload (what an absent file yields is the store's business).
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class ResetDatabase : public ZemTask {
 public:
  ResetDatabase(const ZipArchive& archive, DescriptionPtr description);
  ~ResetDatabase() override;

  // Fails without touching the file when the data folder lacks room for the container, or when
  // there is no database file or it cannot be deleted. Reports the result, deletes the container
  // and returns the success flag.
  bool execute() override;
  // Writes "result.xml" (ResetZemDatabaseTaskResult).
  void createTaskResults(const File& folder, bool success) override;
};
