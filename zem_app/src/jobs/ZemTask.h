// The base of every task kind of the application: the task's own handle on its container, its
// identity and priority, the outbox and module name of its result package, the classification of
// result files, the writing of "result.xml" and the deletion of the container after execution.
// Thread safety: a task is used by the queue's worker thread only; it takes no lock.
#pragma once

#include <memory>
#include <string>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

class Inbox;
namespace Security {
class SecurityService;
}

class ZemTask : public CtpTask {
 public:
  // Ends the claim on the container when the task still holds it.
  ~ZemTask() override;

  // The description's taskId; empty when the task has no description or the description no id.
  std::string getID() const override;
  // Each kind runs its job, reports its results and deletes its container (see the kinds).
  bool execute() override = 0;
  // 0: the kinds that must run before waiting jobs override it.
  int getPriority() const override;
  // Does nothing here; every kind writes its own result files.
  void createTaskResults(const File& folder, bool success) override;
  // The application's outbox (application data folder + "/OUTBOX").
  std::string getOutboxFolder() const override;
  // "ZEM".
  std::string getModuleName() const override;
  // "config.xml": PROVISIONING_CONFIG; "database.xml": ZEM_DATABASE (exact, case-sensitive
  // comparison of the file name); any other file as CtpTask::getFileType.
  ElementType getFileType(const File& file) const override;

  // CtpTask::collectResults; a failure for want of descriptors or space (ZipException with
  // isResourceShortage, or such an errno) marks the container to be kept for a retry, then
  // propagates.
  void collectResults(const File& folder, bool success) override;
  // CtpTask::reportResults; when no result package could be made for want of descriptors or
  // space (also when not even a result folder can be made), cleanUpZipContainer keeps the
  // container in the inbox for a retry.
  void reportResults(bool success) override;
  // True when the last report could not be packaged for a passing reason.
  bool keepsContainerForRetry() const { return keepForRetry_; }

  // Closes the container handle and deletes the container file, relative to the inbox folder and
  // only when it lies directly inside the inbox. A container whose results could not be packaged
  // for a passing reason (keepsContainerForRetry) is kept for the next start-up instead. Does nothing for a task built
  // without a container (null archive). Failures are logged at ERROR; never throws.
  void cleanUpZipContainer();

  // Answers a container refused for good after its description was read, without running its job:
  // the kind's failure report (success false, errorMessage `reason`) goes out as after a failed
  // run, then the container is cleaned up (cleanUpZipContainer: removed, or kept when the report
  // failed for want of descriptors or space). Never throws.
  void refuse(const std::string& reason);

  // True when a ZemTaskDescription can be found in `archive` as the TASK_REQUEST entry.
  // `security` may be null. Throws XSDEnumException for an unknown entry type text in the index.
  static bool checkIfTaskContainerIsValid(const ZipArchive& archive, Security::SecurityService* security);

  // Takes over the claim on the container `name` held in `inbox` (shared: the queue that owns it
  // may go first); cleanUpZipContainer or the destructor ends it. REQUIRES: `inbox` not null.
  void holdInboxClaim(std::shared_ptr<Inbox> inbox, std::string name);

  const ZipArchive& getArchive() const { return archive; }
  int getErrorType() const { return errorType; }
  const std::string& getErrorMessage() const { return errorMessage; }

 protected:
  // Keeps a handle on `archiveToCopy` (null archive allowed) and takes ownership of `description`
  // (null allowed). Hands the application's extension services, when they are alive, to the base.
  ZemTask(const ZipArchive& archiveToCopy, DescriptionPtr description);

  // Writes "result.xml" of type ResultType into `folder`: the description's taskId (empty without
  // one), errorInfo with the `success` flag, and errorType and errorMessage only when the kind set
  // them (non-zero, non-empty). The folder's "MetaData.xml" is left to the package writer, which
  // describes the files once they are all there. A document error (XPlus::Exception) is logged at
  // ERROR as "Error while creating result.xml file: " + folder, then its text; nothing is written
  // and nothing is thrown then.
  template <class ResultType>
  void createTaskResults(const File& folder, bool success);
  // As createTaskResults, into a result document the kind has already filled with its own
  // content (`result` keeps that content; taskId and errorInfo are set here).
  template <class ResultType>
  void writeTaskResult(ResultType& result, const File& folder, bool success);

  // How every kind ends its execute(): reports `outcome` (reportResults), deletes the container
  // (cleanUpZipContainer) and returns `outcome`.
  bool finish(bool outcome);

  // The declared uncompressed size of the container's entries; 0 for the null archive or when the
  // archive cannot tell (logged at ERROR).
  long getContainerSize() const;

  ZipArchive archive;
  // ErrorType reported in the result's errorInfo; 0 unless a kind sets it.
  int errorType = 0;
  // Message reported in the result's errorInfo; empty unless a kind sets it.
  std::string errorMessage;

 private:
  void releaseInboxClaim();

  std::shared_ptr<Inbox> inbox_;  // where claimedName_ is claimed; null while no claim is held
  std::string claimedName_;       // inbox container whose claim this task holds; empty when none
  bool keepForRetry_ = false;     // the last report failed for want of descriptors or space
};

template <class ResultType>
void ZemTask::createTaskResults(const File& folder, bool success) {
  const auto result = xmldoc::createDocument<ResultType>();
  writeTaskResult(*result, folder, success);
}

template <class ResultType>
void ZemTask::writeTaskResult(ResultType& result, const File& folder, bool success) {
  try {
    const auto* description = getDescription();
    result.set_taskId(description != nullptr ? description->get_taskId() : std::string());
    auto* info = result.add_node_errorInfo();
    populateErrorInfo(info, success, errorType, errorMessage);
    // A task that set no error type reports none: only the flag (and a message it set) appear.
    if (info != nullptr && errorType == 0) info->clear_errorType();
    // Packed from memory when the collection allows it; otherwise written into the result folder,
    // which is temporary: the package built from it is what is made durable.
    const std::string text = xmldoc::toString(result);
    if (holdResultFile(folder, DevicePaths::kResultFileName, text)) return;
    xmldoc::saveFile(result, File(folder, DevicePaths::kResultFileName).getPath(), xmldoc::Durability::Volatile);
  } catch (const XPlus::Exception& e) {
    ZEM_ERROR("Error while creating result.xml file: " << folder.getAbsolutePath());
    ZEM_ERROR(e.what());
  }
}
