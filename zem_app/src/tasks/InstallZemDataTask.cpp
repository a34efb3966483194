#include "tasks/InstallZemDataTask.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/ZemApp.h"
#include "jobs/TaskTypeRegistration.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/DevicePaths.h"
#include "kest/ZemSettings.h"
#include "kest/security/SecurityService.h"
#include "kolconfig/FileIo.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<InstallZemDataTask> registration("InstallZemDataTaskDescription");

// Where a delivered settings file waits until it passed every check; a name the durable writer
// treats as its own temporary file, so start-up removes what a crash leaves.
constexpr const char* kIncomingName = ".settings.xml.tmpinstall";
constexpr size_t kMaxLoggedNameBytes = 128;

}  // namespace

InstallZemDataTask::InstallZemDataTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)) {}

InstallZemDataTask::~InstallZemDataTask() = default;

bool InstallZemDataTask::execute() {
  ZEM_INFO("Start installation of ZEM data");
  return finish(installFiles());
}

int InstallZemDataTask::getPriority() const { return Task::HIGHEST; }

void InstallZemDataTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::InstallZemDataTaskResult>(folder, success);
}

bool InstallZemDataTask::installFiles() {
  Security::SecurityService* const security = getSecurityService();
  const File dataFolder(DevicePaths::applicationDataFolder());
  const File incoming(dataFolder, kIncomingName);
  try {
    const auto index = archive.extractXML<Types::TaskIndex>(DevicePaths::kIndexFileName, ZipArchive::nonDecryptor(),
                                                            ZipArchive::nonValidator());
    if (index == nullptr) throw ZipException(ZipException::kInvalidDocument, "the container holds no index");
    for (const auto& entry : index->elements_taskIndexEntry()) {
      const std::string& typeText = entry->get_type();
      bool settings = false;
      try {
        settings = Types::ElementType::parse(typeText) == Types::ElementType::ZEM_GLOBAL_SETTINGS;
      } catch (const XSDEnumException&) {
        settings = false;  // an unknown type is one this task does not install
      }
      const std::string onDisk = getFileNameOnDisk(*entry, security);
      if (!settings) {
        ZEM_DEBUG("Ignoring not supported file type: " << ApplicationLogger::shortened(onDisk, kMaxLoggedNameBytes)
                                                       << " [" << ApplicationLogger::shortened(typeText, 64) << "]");
        continue;
      }
      dataFolder.mkdirs();
      const File extracted = archive.extract(onDisk, dataFolder, kIncomingName, getFileDecryptor(security),
                                             getSignatureValidator(*entry, security, 2));
      // The running settings are replaced only by a file that is a valid settings document.
      try {
        archive.validateSchema(onDisk, extracted);
        xmldoc::parseFile<Types::ZemGlobalSettings>(extracted.getPath());
      } catch (const XPlus::Exception& e) {
        throw ZipException(ZipException::kInvalidDocument,
                           "not a global settings document: " + ApplicationLogger::shortened(e.what(), 512));
      }
      const File target(dataFolder, DevicePaths::kSettingsFileName);
      const xmldoc::ReplaceResult committed = xmldoc::commitFile(extracted.getPath(), target.getPath());
      if (committed.outcome == xmldoc::ReplaceOutcome::kFailed) {
        throw ZipException(ZipException::kWriteFailure, "cannot replace " + target.getPath() + ": " + committed.error);
      }
      reloadConfig();
    }
  } catch (const ZipException& e) {
    incoming.remove();
    errorType = 4;
    errorMessage = std::string("Impossible to install ZEM data: ") + e.what();
    ZEM_ERROR(errorMessage);
    return false;
  } catch (const Security::SecurityException& e) {
    incoming.remove();
    errorType = 4;
    errorMessage = std::string("Impossible to install ZEM data: ") + e.what();
    ZEM_ERROR(errorMessage);
    return false;
  }
  return true;
}

void InstallZemDataTask::reloadConfig() {
  ZemSettings* const settings = getApp()->getGlobalSettings();
  if (settings == nullptr) return;
  settings->load();
  struct Values {
    bool loaded = false;
    unsigned replayHistorySize = 0;
    std::string logLevel;
  };
  const Values values = settings->read([](const Types::ZemGlobalSettings* document) {
    Values v;
    if (document == nullptr) return v;
    v.loaded = true;
    v.replayHistorySize = static_cast<unsigned>(document->get_replayHistorySize());
    if (document->has_componentLogLevel()) v.logLevel = document->get_componentLogLevel();
    return v;
  });
  if (!values.loaded) return;
  if (const auto queue = getApp()->getTaskQueue().lock()) queue->setReplayHistorySize(values.replayHistorySize);
  if (values.logLevel.empty()) return;
  try {
    ApplicationLogger::setLogLevel(Types::LogLevelType::parse(values.logLevel));
  } catch (const XSDEnumException& e) {
    ZEM_ERROR(
        "Unknown component log level in the global settings: " << ApplicationLogger::shortened(values.logLevel, 64));
  }
}
