// Task kind "RequestZemDataTaskDescription": answers with a result package holding the requested
// application data (the application's log extract, the global-settings file).
// Thread safety: run by the queue's worker thread only.
#pragma once

#include <string>

#include "jobs/ZemTask.h"

class ResultPackageWriter;

class RequestZemDataTask : public ZemTask {
 public:
  RequestZemDataTask(const ZipArchive& archive, DescriptionPtr description);
  ~RequestZemDataTask() override;

  // Reports success (the package is built by collectResults), deletes the container, returns true.
  bool execute() override;
  // Task::HIGHEST.
  int getPriority() const override;
  // Writes "result.xml" (RequestZemDataTaskResult).
  void createTaskResults(const File& folder, bool success) override;
  // Builds the package itself: the requested data in the description's order (ZEM_EVENT_LOG as
  // "LOGS/zemlog.txt", ZEM_GLOBAL_SETTINGS as "settings.xml"; other names skipped), "result.xml",
  // the vehicle data and "index.xml". A file that cannot be added makes the result fail with
  // error code 7; the package still holds what could be added. Throws ZipException when no
  // package can be written at all.
  void collectResults(const File& folder, bool success) override;

 private:
  // Adds `name` of the application data folder with its index entry of `type` (see
  // ResultPackageWriter::addFile). A missing file counts as empty: skipped with a TRACE line,
  // returns true. Returns false, with error code 7, when it cannot be added.
  bool addFile(ResultPackageWriter& writer, const std::string& name, ElementType type);

  const Sarnet_Configuration::Types::RequestZemDataTaskDescription* requestDescription_;  // owned by the base
};
