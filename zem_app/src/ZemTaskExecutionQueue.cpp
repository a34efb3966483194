#include "ZemTaskExecutionQueue.h"

#include "kest/DevicePaths.h"

ZemTaskExecutionQueue::ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize)
    : TaskExecutionQueue(services, replayHistorySize, true) {}

ZemTaskExecutionQueue::~ZemTaskExecutionQueue() { close(); }

std::string ZemTaskExecutionQueue::getStoragePath() const {
  return DevicePaths::applicationDataFolder() + DevicePaths::queueFolderSuffix();
}
