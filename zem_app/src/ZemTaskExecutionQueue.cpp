#include "ZemTaskExecutionQueue.h"

#include <memory>

#include "ProcessTaskRequest.h"
#include "kest/DevicePaths.h"

ZemTaskExecutionQueue::ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize)
    : ZemTaskExecutionQueue(services, replayHistorySize, true) {}

ZemTaskExecutionQueue::ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize, bool startWorker)
    : TaskExecutionQueue(services, replayHistorySize, startWorker) {}

ZemTaskExecutionQueue::~ZemTaskExecutionQueue() { close(); }

bool ZemTaskExecutionQueue::addDtsiTask(const std::string& path) {
  // The queue takes the request over, also when it refuses it.
  return push(std::make_unique<ProcessTaskRequest>(*this, getExtensionServices(), path).release());
}

std::string ZemTaskExecutionQueue::getStoragePath() const {
  return DevicePaths::applicationDataFolder() + DevicePaths::queueFolderSuffix();
}
