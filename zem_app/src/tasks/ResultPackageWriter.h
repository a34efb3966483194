// Writes a result package that a task kind assembles itself: payload files with their index
// entries, "result.xml" as TASK_RESULT, "index.xml", then the closed archive in the outbox.
// Thread safety: one writer per report, used by the queue's worker thread only.
#pragma once

#include <string>

#include "kest/File.h"
#include "kest/security/SignatureGenerator.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

class ResultPackageWriter {
 public:
  using ElementType = CtpTask::ElementType;

  // Starts the package of `task`'s report collected in `resultFolder`: getOutboxFolder() + "/" +
  // getResultPackage(resultFolder) + ".zip". A leftover file of that name is removed first.
  // Throws ZipException when the archive cannot be created. REQUIRES: `task` outlives the writer.
  ResultPackageWriter(CtpTask& task, const File& resultFolder);
  ResultPackageWriter(const ResultPackageWriter&) = delete;
  ResultPackageWriter& operator=(const ResultPackageWriter&) = delete;

  // Adds `file` as `entryName` (through the security service's encryptor) with its index entry:
  // the mapped name, the device signature (key number 1) and `type`. An empty file is skipped
  // with a TRACE line and counts as success. Returns true on success; false with the failure
  // logged at ERROR "Error while compressing file " + entryName (index unchanged).
  bool addFile(const File& file, const std::string& entryName, ElementType type);
  // Adds "result.xml" of the result folder as TASK_RESULT, as addFile.
  void addResult();
  // Lets the host add its vehicle data (metadata) of the result folder. Failures are logged.
  void addVehicleData();
  // Adds the index unencrypted as "index.xml" (from memory, no file written); failures are logged
  // at ERROR.
  void addIndex();
  // Closes the archive, signed by `generator` when it is not empty. Returns the package path.
  // Throws ZipException when the archive cannot be written (nothing appears in the outbox).
  std::string close(const Security::SignatureGenerator& generator = Security::SignatureGenerator());

  // Index entries written so far.
  unsigned entryCount() const { return entries_; }

 private:
  CtpTask& task_;
  const File resultFolder_;
  File package_;
  ZipArchive archive_;
  xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskIndex> index_;
  unsigned entries_ = 0;  // index entries written so far
};
