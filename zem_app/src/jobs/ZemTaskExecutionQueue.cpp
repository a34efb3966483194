#include "jobs/ZemTaskExecutionQueue.h"

#include "jobs/ProcessTaskRequest.h"
#include "kest/DevicePaths.h"

ZemTaskExecutionQueue::ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize)
    : ZemTaskExecutionQueue(services, replayHistorySize, true) {}

ZemTaskExecutionQueue::ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize, bool startWorker)
    : TaskExecutionQueue(services, replayHistorySize, startWorker) {}

ZemTaskExecutionQueue::~ZemTaskExecutionQueue() { close(); }

bool ZemTaskExecutionQueue::addDtsiTask(const std::string& path) {
  // A container already queued or running is not queued again.
  return ProcessTaskRequest::submit(*this, getExtensionServices(), path);
}

std::string ZemTaskExecutionQueue::getStoragePath() const {
  return DevicePaths::applicationDataFolder() + DevicePaths::queueFolderSuffix();
}
