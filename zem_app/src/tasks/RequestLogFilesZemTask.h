// Task kind "RequestLogFilesZemTaskDescription": answers with a result package holding a backup
// of the system log and the additional log files the request names, up to a total size.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/ZemTask.h"

class ResultPackageWriter;

class RequestLogFilesZemTask : public ZemTask {
 public:
  // Collected bytes after which no further file is added (tested before each file, so the last
  // file added may carry the total past it).
  static constexpr uint64_t kMaxCollectedBytes = 10485760;
  // Bytes taken from one file at most: its last ones, the newest lines of a log.
  static constexpr uint64_t kMaxBytesPerFile = 10485760;

  RequestLogFilesZemTask(const ZipArchive& archive, DescriptionPtr description);
  ~RequestLogFilesZemTask() override;

  // Reports success (the package is built by collectResults), deletes the container, returns true.
  bool execute() override;
  // Task::HIGHEST.
  int getPriority() const override;
  // "OBU.LOGFILES".
  std::string getModuleName() const override;
  // Writes "result.xml" (RequestLogFilesZemTaskResult).
  void createTaskResults(const File& folder, bool success) override;
  // Collects the system-log backup and the additional log files in the folder "LOGS" of the
  // application data folder and adds them in name order as "LOGS/" + name while the total added
  // before each is within kMaxCollectedBytes (a WARN when a file is left out), then "result.xml"
  // and "index.xml"; removes the collection folder, closes and announces the package. Of each file
  // only its last kMaxBytesPerFile bytes are taken. An additional file is taken only when it is a
  // regular file, not a link, whose real path lies inside one of TrustBoundaries::logFolders();
  // any other is skipped (a link or a file outside those folders with a WARN naming it, a missing,
  // unreadable, directory or special file without a word; a FIFO is never waited on). Files are
  // streamed, never held in memory. A file that cannot be added makes the result fail with error
  // code 7. Throws ZipException when no package can be written at all.
  void collectResults(const File& folder, bool success) override;

 private:
  // Adds `name` of the application data folder as ZEM_EVENT_LOG (see ResultPackageWriter::addFile).
  // Returns false, with error code 7, when it cannot be added.
  bool addFile(ResultPackageWriter& writer, const std::string& name);

  const Sarnet_Configuration::Types::RequestLogFilesZemTaskDescription* requestDescription_;  // owned by the base
};
