#include "ipc/DispatchPool.h"

namespace Ipc {
namespace detail {

// The no-op that probe() queues; tells its waiters whether a thread ran it.
class DispatchPool::Probe {
 public:
  class NoOp : public Job {
   public:
    explicit NoOp(std::shared_ptr<Probe> probe) : probe_(std::move(probe)) {}
    void run() noexcept override { probe_->settle(true); }
    void cancel(Refusal /*refusal*/) noexcept override { probe_->settle(false); }

   private:
    const std::shared_ptr<Probe> probe_;
  };

  void settle(bool ran) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      ran_ = ran;
    }
    done_.notify_all();
  }
  bool finished() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }
  // Returns true when a thread ran the no-op by `deadline`.
  bool ranBy(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_until(lock, deadline, [this] { return finished_; });
    return ran_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;  // guarded by mutex_
  bool ran_ = false;       // guarded by mutex_
};

DispatchPool::DispatchPool(std::size_t threads, std::size_t maxPending)
    : threadCount_(threads == 0 ? 1 : threads), maxPending_(maxPending == 0 ? 1 : maxPending) {}

DispatchPool::~DispatchPool() { stop(); }

void DispatchPool::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Created) return;
    state_ = State::Running;
  }
  try {
    for (std::size_t i = 0; i < threadCount_; ++i) threads_.emplace_back([this] { work(); });
  } catch (...) {
    stop();
    throw;
  }
}

bool DispatchPool::post(std::unique_ptr<Job> job) {
  bool accepted = false;
  Refusal refusal = Refusal::Stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Stopped) {
      refusal = Refusal::Stopping;
    } else if (queue_.size() >= maxPending_) {
      refusal = Refusal::Overloaded;
    } else {
      queue_.push_back(std::move(job));
      accepted = true;
    }
  }
  if (!accepted) {
    job->cancel(refusal);  // NOLINT(bugprone-use-after-move): moved only when accepted
    return false;
  }
  ready_.notify_one();
  return true;
}

void DispatchPool::stop() {
  std::deque<std::unique_ptr<Job>> cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::Stopped;
    cancelled.swap(queue_);
  }
  ready_.notify_all();
  for (auto& job : cancelled) job->cancel(Refusal::Stopping);
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
  threads_.clear();
}

bool DispatchPool::probe(std::chrono::steady_clock::time_point deadline) {
  std::shared_ptr<Probe> pending;
  bool queue = false;
  {
    const std::lock_guard<std::mutex> lock(probeMutex_);
    queue = probe_ == nullptr || probe_->finished();
    if (queue) probe_ = std::make_shared<Probe>();
    pending = probe_;
  }
  if (queue) post(std::make_unique<Probe::NoOp>(pending));
  return pending->ranBy(deadline);
}

void DispatchPool::work() {
  while (true) {
    std::unique_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return state_ == State::Stopped || !queue_.empty(); });
      if (queue_.empty()) return;  // stopped
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job->run();
  }
}

}  // namespace detail
}  // namespace Ipc
