#include "tasks/RequestZemDataTask.h"

#include <chrono>
#include <vector>

#include "jobs/TaskTypeRegistration.h"
#include "kest/DevicePaths.h"
#include "kest/LogFilter.h"
#include "tasks/ResultPackageWriter.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<RequestZemDataTask> registration("RequestZemDataTaskDescription");

constexpr const char* kLogExtractName = "zemlog.txt";

}  // namespace

RequestZemDataTask::RequestZemDataTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)),
      requestDescription_(dynamic_cast<const Types::RequestZemDataTaskDescription*>(getDescription())) {}

RequestZemDataTask::~RequestZemDataTask() = default;

bool RequestZemDataTask::execute() { return finish(true); }

int RequestZemDataTask::getPriority() const { return Task::HIGHEST; }

void RequestZemDataTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::RequestZemDataTaskResult>(folder, success);
}

void RequestZemDataTask::collectResults(const File& folder, bool success) {
  std::vector<ElementType> requested;
  if (requestDescription_ != nullptr) {
    for (const std::string& text : requestDescription_->elements_dataType()) {
      try {
        requested.push_back(Types::ElementType::parse(text));
      } catch (const XSDEnumException&) {
        ZEM_DEBUG("Ignoring unknown data type " << ApplicationLogger::shortened(text, 64));
      }
    }
  }
  ResultPackageWriter writer(*this, folder);
  const File dataFolder(DevicePaths::applicationDataFolder());
  for (const ElementType type : requested) {
    if (type == Types::ElementType::ZEM_EVENT_LOG) {
      const File logFolder(dataFolder, DevicePaths::kLogsFolderName);
      logFolder.mkdirs();
      const File extract(logFolder, kLogExtractName);
      LogFilter::backupSysLog(extract.getPath(), {"ZEM_APP"}, "TRACE", std::chrono::system_clock::time_point());
      if (!addFile(writer, std::string(DevicePaths::kLogsFolderName) + "/" + kLogExtractName, type)) success = false;
      extract.remove();
    } else if (type == Types::ElementType::ZEM_GLOBAL_SETTINGS) {
      if (!addFile(writer, DevicePaths::kSettingsFileName, type)) success = false;
    }
  }
  createTaskResults(folder, success);
  writer.addResult();
  writer.addVehicleData();
  writer.addIndex();
  writer.close();
}

bool RequestZemDataTask::addFile(ResultPackageWriter& writer, const std::string& name, ElementType type) {
  const File file(File(DevicePaths::applicationDataFolder()), name);
  // Nothing at the path (not even a link) has nothing to send, like an empty file: no entry, no
  // failure. Anything there that cannot be added still fails the request.
  if (!file.exists() && !file.isSymbolicLink()) {
    ZEM_TRACE("File " << file.getAbsolutePath() << " will not be added to archive as it is an empty file");
    return true;
  }
  if (writer.addFile(file, name, type)) return true;
  errorType = 7;
  errorMessage = "Error while compressing file " + name;
  return false;
}
