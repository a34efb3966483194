#include "ServiceWatchdog.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "kest/ApplicationLogger.h"

ServiceWatchdog::ServiceWatchdog(const SystemdNotifier& notifier, std::chrono::microseconds period, Check check)
    : notifier_(notifier),
      interval_(std::max(period / 4, std::chrono::microseconds(1000))),
      check_(std::move(check)),
      thread_([this] { watch(); }) {}

ServiceWatchdog::~ServiceWatchdog() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ServiceWatchdog::watch() {
  const auto checkTime = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(interval_), kMaxCheckTime);
  bool withheld = false;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const auto next = std::chrono::steady_clock::now() + interval_;
    lock.unlock();
    std::string stuck;
    try {
      stuck = check_(checkTime);
    } catch (const std::exception& e) {
      stuck = std::string("the watchdog's check (") + e.what() + ")";
    }
    if (stuck.empty()) {
      notifier_.keepAlive();
    } else if (!withheld) {
      ZEM_WARN("Withholding the watchdog keep-alive: " << stuck
                                                       << " made no progress; the service manager restarts "
                                                          "zem-host unless that changes");
    }
    withheld = !stuck.empty();
    lock.lock();
    wake_.wait_until(lock, next, [this] { return stopping_; });
  }
}
