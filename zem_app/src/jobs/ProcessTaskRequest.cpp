#include "jobs/ProcessTaskRequest.h"

#include <memory>
#include <optional>
#include <utility>

#include "app/ZemApp.h"
#include "jobs/ConfigLoader.h"
#include "jobs/Inbox.h"
#include "jobs/Quarantine.h"
#include "jobs/ZemTask.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "jobs/ZemTaskFactory.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/security/SecurityException.h"
#include "kest/security/SecurityService.h"
#include "kest/zip/ZipArchive.h"
#include "kest/zip/ZipException.h"
#include "kolconfig/XSDEnumException.h"

namespace {

const char* const kCannotHandle = "Impossible to handle Zem Task request : ";
const char* const kWillBeDeleted = "Job definition will be deleted : ";
const char* const kKeptForRetry = "Job definition is kept for a retry : ";
const char* const kQuarantined = "Job definition is quarantined : ";
constexpr size_t kMaxLoggedTypeBytes = 64;
constexpr size_t kMaxLoggedReasonBytes = 512;

// Ends the claim held in `inbox` under `name` (if any) when the scope ends.
class ClaimEnd {
 public:
  ClaimEnd(Inbox& inbox, std::string& name) : inbox_(inbox), name_(name) {}
  ~ClaimEnd() {
    if (name_.empty()) return;
    inbox_.release(name_);
    name_.clear();
  }
  ClaimEnd(const ClaimEnd&) = delete;
  ClaimEnd& operator=(const ClaimEnd&) = delete;

 private:
  Inbox& inbox_;
  std::string& name_;
};

}  // namespace

ProcessTaskRequest::ProcessTaskRequest(ZemTaskExecutionQueue& queue, ExtensionServices* extensionServices,
                                       std::string jobLocation)
    : queue(queue), inbox(queue.inbox()), extensionServices(extensionServices), jobLocation(std::move(jobLocation)) {}

ProcessTaskRequest::~ProcessTaskRequest() {
  if (!claimedName.empty()) inbox->release(claimedName);
}

bool ProcessTaskRequest::submit(ZemTaskExecutionQueue& queue, ExtensionServices* extensionServices,
                                const std::string& jobLocation) {
  auto request = std::make_unique<ProcessTaskRequest>(queue, extensionServices, jobLocation);
  // A path outside the inbox is not claimed: execute() refuses it.
  const std::string name = Inbox::entryName(jobLocation);
  if (!name.empty()) {
    if (!queue.inbox()->claim(name)) {
      ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL,
                      "Task container already queued or running, announcement ignored: " << Inbox::forLog(jobLocation));
      return false;
    }
    request->claimedName = name;
  }
  // The queue owns the request from here on, also when it refuses it (its destructor then ends
  // the claim).
  return queue.push(request.release());
}

std::string ProcessTaskRequest::getID() const { return "Zem Task"; }

bool ProcessTaskRequest::execute() {
  ZEM_LOG_ESCAPED(log4cplus::INFO_LOG_LEVEL, "New job enqueued: " << Inbox::forLog(jobLocation));
  // Only a regular file directly inside the inbox is opened, run, quarantined or deleted, and only
  // through the inbox folder: a path elsewhere (from the host or a test) is logged and left alone.
  // Every way out but a queued task ends the claim.
  const ClaimEnd claimEnd(*inbox, claimedName);
  const std::string name = Inbox::entryName(jobLocation);
  if (name.empty()) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation));
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "The task container is not directly inside the inbox");
    return false;
  }
  // Once opened, only that file is moved or deleted (not one put in its place).
  ZipArchive archive;
  // Why the container is refused for good before a task id could be trusted; empty while it is not.
  std::string refusal = unitRefusal();
  if (!refusal.empty()) {
    // Nothing of the container is read: one ERROR, and it is set aside as every refusal for good.
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation) << " (" << refusal << ")");
    if (Inbox::isRegularFile(name)) quarantine(name, archive);
    return false;
  }
  const std::optional<bool> handled = openAndQueue(name, archive, refusal);
  if (handled.has_value()) return *handled;
  // One ERROR tells the container and why it is refused; only a regular file is then set aside.
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                  kCannotHandle << Inbox::forLog(jobLocation) << " ("
                                << ApplicationLogger::shortened(refusal, kMaxLoggedReasonBytes) << ")");
  if (Inbox::isRegularFile(name)) quarantine(name, archive);
  return false;
}

std::optional<bool> ProcessTaskRequest::openAndQueue(const std::string& name, ZipArchive& archive,
                                                     std::string& refusal) {
  try {
    archive = ZipArchive::openInFolder(DevicePaths::inboxFolder(), name);
    bool transient = false;
    // The index the description was found through also answers the entry-type check below: the
    // container's index is extracted, validated and parsed once per container.
    xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskIndex> index;
    std::unique_ptr<ZemTask> task = Tasks::ZemTaskFactory::createTask(archive, &transient, &index);
    if (task == nullptr && transient) {
      ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation));
      ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, kKeptForRetry << Inbox::forLog(jobLocation));
      return false;
    }
    if (task == nullptr) {
      refusal = "the container holds no readable task description of a task type this unit runs";
      return std::nullopt;
    }
    // A task id is known from here on: a refusal is answered with the task's failure package.
    const std::string unknownType = index != nullptr ? ConfigLoader::firstUnknownEntryType(*index) : std::string();
    archive.suspend();
    if (unknownType.empty()) return queueTask(std::move(task), name, archive);
    refuseUnknownEntryType(*task, unknownType);
    return false;
  } catch (const ZipException& e) {
    // No descriptor, no space or a failing medium says nothing about the container: it waits.
    if (e.isTransient()) {
      ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation));
      ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, e.what());
      ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, kKeptForRetry << Inbox::forLog(jobLocation));
      return false;
    }
    refusal = e.what();
  } catch (const Security::SecurityException& e) {
    refusal = e.what();
  } catch (const XSDEnumException& e) {
    refusal = e.what();
  }
  return std::nullopt;
}

void ProcessTaskRequest::refuseUnknownEntryType(ZemTask& task, const std::string& unknownType) const {
  const std::string reason = "the index names the unknown entry type \"" +
                             ApplicationLogger::shortened(unknownType, kMaxLoggedTypeBytes) + "\"";
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation) << " (" << reason << ")");
  task.refuse(reason);
}

bool ProcessTaskRequest::queueTask(std::unique_ptr<ZemTask> task, const std::string& name, ZipArchive& archive) {
  if (task->isMissingMandatoryEncryption()) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kCannotHandle << Inbox::forLog(jobLocation));
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Task was found non-encrypted while encryption is mandatory for that type of task");
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, kWillBeDeleted << Inbox::forLog(jobLocation));
    Inbox::remove(name, &archive);
    return false;
  }
  // The claim on the container passes to the task, which ends it when it is done.
  if (!claimedName.empty()) task->holdInboxClaim(inbox, std::move(claimedName));
  claimedName.clear();
  // The queue owns the task from here on, also when it refuses it (it then destroys it).
  if (!queue.push(task.release())) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Impossible to enqueue task, task container will be deleted : " << Inbox::forLog(jobLocation));
    Inbox::remove(name, &archive);
  }
  return true;
}

std::string ProcessTaskRequest::unitRefusal() {
  const std::shared_ptr<ExtensionServices> services = getApp()->getExtensionServices().lock();
  const Security::SecurityService* const security = services != nullptr ? services->getSecurityService() : nullptr;
  return security != nullptr ? security->containerRefusal() : std::string();
}

void ProcessTaskRequest::quarantine(const std::string& name, const ZipArchive& archive) const {
  const std::string kept = Quarantine::admit(name, archive.isNull() ? nullptr : &archive);
  if (!kept.empty()) {
    ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, kQuarantined << Inbox::forLog(jobLocation) << " as " << kept);
    return;
  }
  // A container that cannot be kept aside still never stays for the next start-up.
  ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, kWillBeDeleted << Inbox::forLog(jobLocation));
  Inbox::remove(name, archive.isNull() ? nullptr : &archive);
}

bool ProcessTaskRequest::finalize() { return true; }

int ProcessTaskRequest::getPriority() const { return Task::HIGHEST; }

bool ProcessTaskRequest::isSynchronous() const { return true; }

std::map<std::string, std::string> ProcessTaskRequest::getSettings() const { return {{"ZIP", jobLocation}}; }

bool ProcessTaskRequest::match(const Task& /*other*/) const { return false; }

bool ProcessTaskRequest::isExternal() const { return false; }
