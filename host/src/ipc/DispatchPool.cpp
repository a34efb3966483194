#include "ipc/DispatchPool.h"

namespace Ipc {
namespace detail {

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
