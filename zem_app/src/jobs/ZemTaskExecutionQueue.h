// The application's task queue: the host queue with the application's storage path, which turns
// container paths handed over by the host into ProcessTaskRequests, and the claims on the inbox
// containers it has queued or runs.
// Thread safety: as TaskExecutionQueue (all operations thread-safe).
#pragma once

#include <memory>
#include <string>

#include "jobs/Inbox.h"
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

  // The claims on this queue's inbox containers. Shared with every request and task holding a
  // claim, so that one destroyed after the queue still ends its claim safely. Never null.
  const std::shared_ptr<Inbox>& inbox() const { return inbox_; }

 private:
  const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
};
