#include "jobs/ZemTask.h"

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

#include "app/ZemApp.h"
#include "jobs/ConfigLoader.h"
#include "jobs/Inbox.h"
#include "kest/ExtensionServices.h"
#include "kest/TempFile.h"
#include "kest/zip/ZipException.h"

namespace Types = Sarnet_Configuration::Types;

ZemTask::ZemTask(const ZipArchive& archiveToCopy, DescriptionPtr description)
    : CtpTask(std::move(description)), archive(archiveToCopy) {
  setExtensionServices(getApp()->getExtensionServices().lock());
}

ZemTask::~ZemTask() { releaseInboxClaim(); }

void ZemTask::holdInboxClaim(std::shared_ptr<Inbox> inbox, std::string name) {
  releaseInboxClaim();
  inbox_ = std::move(inbox);
  claimedName_ = std::move(name);
}

void ZemTask::releaseInboxClaim() {
  if (inbox_ != nullptr && !claimedName_.empty()) inbox_->release(claimedName_);
  inbox_.reset();
  claimedName_.clear();
}

std::string ZemTask::getID() const {
  const Types::TaskDescription* description = getDescription();
  return description != nullptr ? description->get_taskId() : std::string();
}

int ZemTask::getPriority() const { return 0; }

void ZemTask::createTaskResults(const File& /*folder*/, bool /*success*/) {}

namespace {

// True when `e` reports a shortage of the unit (descriptors, disk space) rather than a fault of the
// container: the error code the exception carries, else errno as the failed call left it.
bool isResourceShortage(const std::exception& e) {
  const auto* systemError = dynamic_cast<const std::system_error*>(&e);
  const int error = systemError != nullptr ? systemError->code().value() : errno;
  return ZipException::isShortageError(error);
}

}  // namespace

void ZemTask::collectResults(const File& folder, bool success) {
  try {
    CtpTask::collectResults(folder, success);
  } catch (const ZipException& e) {
    keepForRetry_ = e.isResourceShortage();
    throw;
  } catch (const std::exception& e) {
    keepForRetry_ = isResourceShortage(e);
    throw;
  }
}

void ZemTask::reportResults(bool success) {
  keepForRetry_ = false;
  // A result folder that cannot be made for want of descriptors or space is a shortage of the
  // unit, not a fault of the container (the report below then fails as well).
  try {
    const TempFile probe("result");
  } catch (const std::exception& e) {
    keepForRetry_ = isResourceShortage(e);
  }
  CtpTask::reportResults(success);
}

std::string ZemTask::getOutboxFolder() const { return DevicePaths::outboxFolder(); }

std::string ZemTask::getModuleName() const { return "ZEM"; }

CtpTask::ElementType ZemTask::getFileType(const File& file) const {
  const std::string name = file.getName();
  if (name == DevicePaths::kConfigFileName) return Types::ElementType::PROVISIONING_CONFIG;
  if (name == DevicePaths::kDatabaseFileName) return Types::ElementType::ZEM_DATABASE;
  return CtpTask::getFileType(file);
}

void ZemTask::cleanUpZipContainer() {
  // However it ends, the container's processing is over: a new announcement may claim it.
  struct ReleaseAtEnd {
    ZemTask& task;
    ~ReleaseAtEnd() { task.releaseInboxClaim(); }
  } releaseAtEnd{*this};
  if (archive.isNull()) return;
  try {
    archive.close();
  } catch (const ZipException& e) {
    ZEM_ERROR("Cannot close the task container " << archive.getPath());
    ZEM_ERROR(e.what());
  }
  if (keepForRetry_) {
    ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, "Task container kept for a retry (no result package could be written): "
                                                   << Inbox::forLog(archive.getPath()));
    return;
  }
  // Only a container of the inbox is deleted, and through the inbox folder (never along a link).
  const std::string name = Inbox::entryName(archive.getPath());
  if (name.empty() || !Inbox::remove(name, &archive)) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Cannot delete the task container " << Inbox::forLog(archive.getPath()));
  }
}

void ZemTask::refuse(const std::string& reason) {
  errorMessage = reason;
  reportResults(false);
  cleanUpZipContainer();
}

bool ZemTask::checkIfTaskContainerIsValid(const ZipArchive& archive, Security::SecurityService* security) {
  return ConfigLoader::loadAndGet<Types::ZemTaskDescription, Types::ElementType::TASK_REQUEST>(archive, security) !=
         nullptr;
}

bool ZemTask::finish(bool outcome) {
  reportResults(outcome);
  cleanUpZipContainer();
  return outcome;
}

long ZemTask::getContainerSize() const {
  if (archive.isNull()) return 0;
  try {
    return static_cast<long>(archive.getUncompressedSize());
  } catch (const ZipException& e) {
    ZEM_ERROR("Cannot read the size of the task container " << archive.getPath());
    ZEM_ERROR(e.what());
    return 0;
  }
}
