// The application's task queue: the host queue with the application's storage path, which turns
// container paths handed over by the host into ProcessTaskRequests.
// Thread safety: as TaskExecutionQueue (all operations thread-safe).
#pragma once

#include <string>

#include "kest/TaskExecutionQueue.h"

class ZemTaskExecutionQueue : public TaskExecutionQueue {
 public:
  // `services` is not owned and may be null; `replayHistorySize` finished tasks are remembered.
  // Starts the worker thread.
  ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize);
  // As above; with `startWorker` false the queue only stores tasks (tests drive it with
  // runPending()).
  ZemTaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize, bool startWorker);
  ~ZemTaskExecutionQueue() override;
  // Pushes a ProcessTaskRequest for the container at `path` (with this queue and its extension
  // services) unless the container is already queued or running. Returns false for such a
  // duplicate or when the queue is closed.
  bool addDtsiTask(const std::string& path) override;
  // The application folder + "/QUEUE".
  std::string getStoragePath() const override;
};
