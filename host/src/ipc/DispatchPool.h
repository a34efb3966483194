// A small pool of threads that runs IPC calls off the bus thread, first come first served, with a
// bound on the calls waiting for a thread.
// Thread safety: post() and probe() may be called from any thread; start() and stop() from the
// owner only. mutex_ guards queue_ and state_; no other lock is taken while it is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Ipc {
namespace detail {

class DispatchPool {
 public:
  // Why a job does not run.
  enum class Refusal { Stopping, Overloaded };

  // One unit of work. Exactly one of run() and cancel() is called, once.
  class Job {
   public:
    virtual ~Job() = default;
    virtual void run() noexcept = 0;
    virtual void cancel(Refusal refusal) noexcept = 0;
  };

  DispatchPool(std::size_t threads, std::size_t maxPending);
  ~DispatchPool();  // stop()
  DispatchPool(const DispatchPool&) = delete;
  DispatchPool& operator=(const DispatchPool&) = delete;

  // Starts the threads; a second call does nothing. Throws std::system_error when a thread cannot start.
  void start();
  // Queues `job` and returns true; when the pool is stopped or full it cancels the job on the calling
  // thread and returns false.
  bool post(std::unique_ptr<Job> job);
  // Lets running jobs finish, cancels the waiting ones, and joins the threads. Idempotent.
  void stop();
  // Queues a no-op behind the waiting jobs and waits for a thread to run it. Returns true when one
  // did by `deadline`; false otherwise, or when the pool refused it. A no-op that missed an earlier
  // deadline is waited for again rather than queued anew, so a stuck pool holds at most one.
  bool probe(std::chrono::steady_clock::time_point deadline);

 private:
  class Probe;
  enum class State { Created, Running, Stopped };
  void work();

  const std::size_t threadCount_;
  const std::size_t maxPending_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::unique_ptr<Job>> queue_;  // guarded by mutex_
  State state_ = State::Created;            // guarded by mutex_
  std::vector<std::thread> threads_;        // touched by start() and stop() only
  std::mutex probeMutex_;
  std::shared_ptr<Probe> probe_;  // the last no-op queued by probe(); guarded by probeMutex_
};

}  // namespace detail
}  // namespace Ipc
