// The application's task queue: the host queue with the application's storage path.
// Thread safety: as TaskExecutionQueue (all operations thread-safe).
#pragma once

#include <string>

#include "kest/TaskExecutionQueue.h"

class ZemTaskExecutionQueue : public TaskExecutionQueue {
 public:
  // `services` is not owned and may be null; `replayHistorySize` finished tasks are remembered.
  ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize);
  ~ZemTaskExecutionQueue() override;
  // The application folder + "/QUEUE".
  std::string getStoragePath() const override;
};
