// Runs pushed tasks one at a time on one worker thread: highest priority first, first-in
// first-out among equal priorities. push() may be called from any thread, the worker included.
// An exception escaping a task is logged and the queue goes on with the next task. The last
// `replayHistorySize` finished tasks are remembered (id, result) for diagnosis. Every queue with a
// worker is listed process-wide while it lives, so that a supervisor can see a task that hangs.
// Thread safety: all public operations are thread-safe; mutex_ guards every member below it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kest/Export.h"
#include "kest/Task.h"

class ExtensionServices;

class KEST_EXPORT TaskExecutionQueue {
 public:
  struct FinishedTask {
    std::string id;
    bool result;
  };
  struct RunningTask {
    std::string id;  // empty while the task's id is being read
    std::chrono::steady_clock::duration elapsed;
  };

  // `services` is not owned and may be null. `startWorker` false builds a queue that only stores
  // (tests drive it with runPending()).
  TaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize, bool startWorker);
  // Closes the queue. A subclass whose overrides may be reached by running tasks calls close() in
  // its own destructor, so that no task runs while the subclass part is being destroyed.
  virtual ~TaskExecutionQueue();
  TaskExecutionQueue(const TaskExecutionQueue&) = delete;
  TaskExecutionQueue& operator=(const TaskExecutionQueue&) = delete;

  // Takes ownership of `task`. Returns false (and destroys the task) when the queue is closed or
  // the task is null.
  bool push(Task* task);
  // Creates and pushes a task for a container at `path`. The base refuses (false); a subclass
  // that knows containers overrides it.
  virtual bool addDtsiTask(const std::string& path);
  // Folder where the queue may keep its state; created on demand by users.
  virtual std::string getStoragePath() const;
  // Stops accepting tasks, lets the running task finish, drops the waiting ones and joins the
  // worker. Idempotent; afterwards push() refuses. REQUIRES: not called from the worker thread
  // itself (it would then log an ERROR and detach the worker instead of joining it).
  void close();

  void setReplayHistorySize(unsigned size);
  unsigned getReplayHistorySize() const;
  std::vector<FinishedTask> getReplayHistory() const;
  // Number of tasks waiting (not counting the running one).
  size_t pendingCount() const;
  // Waits until no task is waiting or running, or the timeout (ms) passes. Returns true when idle.
  bool waitIdle(int64_t timeoutMs) const;
  // Runs waiting tasks on the calling thread, including those they push, until none is left.
  // Returns the count run. REQUIRES: the queue was built without a worker.
  size_t runPending();
  ExtensionServices* getExtensionServices() const { return services_; }

  // Of the tasks running now on the workers of every live queue of the process, the one that began
  // first; nullopt when every worker is idle. Queues built without a worker are not looked at.
  static std::optional<RunningTask> longestRunningTask();

 private:
  struct Entry {
    int priority;
    uint64_t sequence;
    std::unique_ptr<Task> task;
  };
  struct Order {
    bool operator()(const Entry& a, const Entry& b) const;
  };
  void workerLoop();
  bool runOne(std::unique_lock<std::mutex>& lock);

  ExtensionServices* const services_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Entry> heap_;           // guarded by mutex_
  uint64_t nextSequence_ = 0;         // guarded by mutex_
  bool closed_ = false;               // guarded by mutex_
  bool running_ = false;              // guarded by mutex_
  unsigned replayHistorySize_;        // guarded by mutex_
  std::deque<FinishedTask> history_;  // guarded by mutex_
  std::mutex joinMutex_;              // serialises joining worker_ in close()
  std::thread worker_;                // guarded by joinMutex_ after construction

  // When the running task began, and its id once read; meaningful while running_. Guarded by mutex_.
  std::chrono::steady_clock::time_point runningSince_;
  std::string runningId_;
};
