// The queue keeps waiting tasks in a binary heap ordered by (priority descending, push sequence
// ascending). Tasks run and are destroyed without the mutex held, so a task may push into its own
// queue and may take as long as it needs without blocking producers.
#include "kest/TaskExecutionQueue.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <set>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"

bool TaskExecutionQueue::Order::operator()(const Entry& a, const Entry& b) const {
  // std::push_heap keeps the "largest" entry on top: the highest priority, then the oldest push.
  if (a.priority != b.priority) return a.priority < b.priority;
  return a.sequence > b.sequence;
}

namespace {

// The live queues with a worker. Lock order: liveQueuesMutex() before any queue's mutex_.
std::mutex& liveQueuesMutex() {
  static std::mutex mutex;
  return mutex;
}
std::set<const TaskExecutionQueue*>& liveQueues() {  // guarded by liveQueuesMutex()
  static std::set<const TaskExecutionQueue*> queues;
  return queues;
}

}  // namespace

TaskExecutionQueue::TaskExecutionQueue(ExtensionServices* services, unsigned replayHistorySize, bool startWorker)
    : services_(services), replayHistorySize_(replayHistorySize) {
  if (!startWorker) return;
  worker_ = std::thread(&TaskExecutionQueue::workerLoop, this);
  const std::lock_guard<std::mutex> lock(liveQueuesMutex());
  liveQueues().insert(this);
}

TaskExecutionQueue::~TaskExecutionQueue() {
  {
    const std::lock_guard<std::mutex> lock(liveQueuesMutex());
    liveQueues().erase(this);
  }
  close();
}

std::optional<TaskExecutionQueue::RunningTask> TaskExecutionQueue::longestRunningTask() {
  std::optional<RunningTask> longest;
  const auto now = std::chrono::steady_clock::now();
  const std::lock_guard<std::mutex> lock(liveQueuesMutex());
  for (const TaskExecutionQueue* queue : liveQueues()) {
    const std::lock_guard<std::mutex> queueLock(queue->mutex_);
    if (queue->running_ && (!longest || now - queue->runningSince_ > longest->elapsed))
      longest = RunningTask{queue->runningId_, now - queue->runningSince_};
  }
  return longest;
}

bool TaskExecutionQueue::push(Task* task) {
  std::unique_ptr<Task> owned(task);
  if (!owned) return false;
  int priority = Task::NORMAL;
  try {
    priority = owned->getPriority();
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot read the priority of a pushed task, using the normal priority: " << e.what());
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) {
      heap_.push_back(Entry{priority, nextSequence_++, std::move(owned)});
      std::push_heap(heap_.begin(), heap_.end(), Order());
    }
  }
  if (owned) {
    ZEM_DEBUG("Task queue is closed, refusing task");
    return false;  // `owned` destroys the refused task outside the lock
  }
  changed_.notify_all();
  return true;
}

bool TaskExecutionQueue::addDtsiTask(const std::string& path) {
  ZEM_DEBUG("This task queue does not handle task containers, refusing " << path);
  return false;
}

std::string TaskExecutionQueue::getStoragePath() const {
  return DevicePaths::dataFolder() + "/kest" + DevicePaths::queueFolderSuffix();
}

void TaskExecutionQueue::close() {
  std::vector<Entry> dropped;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(heap_);
  }
  changed_.notify_all();
  if (!dropped.empty()) ZEM_DEBUG("Task queue closed, dropping " << dropped.size() << " waiting task(s)");
  dropped.clear();  // destroys the waiting tasks outside the lock

  const std::lock_guard<std::mutex> joinLock(joinMutex_);
  if (!worker_.joinable()) return;
  if (worker_.get_id() == std::this_thread::get_id()) {
    // Called from a task: joining would wait for ourselves. The worker leaves its loop on its own.
    ZEM_ERROR("Task queue closed from its own worker thread; the worker is not joined");
    worker_.detach();
    return;
  }
  worker_.join();
}

void TaskExecutionQueue::setReplayHistorySize(unsigned size) {
  const std::lock_guard<std::mutex> lock(mutex_);
  replayHistorySize_ = size;
  while (history_.size() > replayHistorySize_) history_.pop_front();
}

unsigned TaskExecutionQueue::getReplayHistorySize() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return replayHistorySize_;
}

std::vector<TaskExecutionQueue::FinishedTask> TaskExecutionQueue::getReplayHistory() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<FinishedTask>(history_.begin(), history_.end());
}

size_t TaskExecutionQueue::pendingCount() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return heap_.size();
}

bool TaskExecutionQueue::waitIdle(int64_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0)),
                           [this] { return heap_.empty() && !running_; });
}

size_t TaskExecutionQueue::runPending() {
  size_t count = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!heap_.empty() && !running_) {
    runOne(lock);
    ++count;
  }
  return count;
}

void TaskExecutionQueue::workerLoop() {
  // Jobs leave the heap holed with freed pages that malloc keeps (about 1.7 MiB after 2,000 jobs).
  // They go back to the system once the queue has stayed empty for kTrimDelay: a steady stream of
  // tasks pays nothing, a quiet daemon holds only what it uses.
  constexpr auto kTrimDelay = std::chrono::milliseconds(200);
  const auto workOrClosed = [this] { return closed_ || !heap_.empty(); };
  bool trimDue = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!trimDue) {
      changed_.wait(lock, workOrClosed);
    } else if (!changed_.wait_for(lock, kTrimDelay, workOrClosed)) {
      trimDue = false;
      lock.unlock();
      malloc_trim(0);
      lock.lock();
      continue;
    }
    if (closed_) return;
    runOne(lock);
    trimDue = true;
  }
}

namespace {

// A task id comes from a container: the queue logs it and keeps it in the replay history, so it
// keeps at most kMaxKeptIdBytes of it (a hostile id of megabytes must not be held ten times over).
constexpr size_t kMaxKeptIdBytes = 256;

}  // namespace

bool TaskExecutionQueue::runOne(std::unique_lock<std::mutex>& lock) {
  // REQUIRES: lock holds mutex_ and heap_ is not empty.
  std::pop_heap(heap_.begin(), heap_.end(), Order());
  std::unique_ptr<Task> task = std::move(heap_.back().task);
  heap_.pop_back();
  running_ = true;
  runningSince_ = std::chrono::steady_clock::now();
  runningId_.clear();
  lock.unlock();

  std::string id = "<unknown task>";
  bool result = false;
  try {
    id = ApplicationLogger::shortened(task->getID(), kMaxKeptIdBytes);
    lock.lock();
    runningId_ = id;
    lock.unlock();
    result = task->execute();
  } catch (const std::exception& e) {
    ZEM_ERROR("Task " << id << " failed with an exception");
    ZEM_ERROR(e.what());
  } catch (...) {
    ZEM_ERROR("Task " << id << " failed with an unknown exception");
  }
  try {
    if (!result) task->reschedule(JobResultType::Failure);
    task->finalize();
  } catch (const std::exception& e) {
    ZEM_ERROR("Task " << id << " failed while finishing: " << e.what());
  } catch (...) {
    ZEM_ERROR("Task " << id << " failed while finishing with an unknown exception");
  }
  task.reset();

  lock.lock();
  if (replayHistorySize_ > 0) {
    history_.push_back(FinishedTask{id, result});
    while (history_.size() > replayHistorySize_) history_.pop_front();
  }
  running_ = false;
  changed_.notify_all();
  return result;
}
