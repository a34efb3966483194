// Sends the service manager's watchdog keep-alive only while the daemon makes progress, so that a
// daemon whose dispatch is stuck is restarted by the manager instead of answering nothing forever.
// Every quarter period a thread runs `check`, which may take up to a quarter period (at most
// kMaxCheckTime), and sends "WATCHDOG=1" when it names nothing stuck: while checks pass, two
// keep-alives are never more than half a period apart. A check that names something withholds the
// keep-alive and logs one WARN naming it (another only after a check has passed again); the manager
// ends the daemon once a whole period has gone by without a keep-alive.
// Thread safety: built and destroyed by one thread; `check` runs on the watchdog's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "SystemdNotifier.h"

class ServiceWatchdog {
 public:
  // Returns an empty text when the daemon makes progress, otherwise what is stuck, as a WARN shows
  // it ("the IPC dispatch threads"). Gets the time it may take.
  using Check = std::function<std::string(std::chrono::milliseconds timeout)>;

  // The longest a check may take, whatever the period: a healthy daemon answers in microseconds,
  // and stopping the watchdog waits for a running check.
  static constexpr std::chrono::milliseconds kMaxCheckTime{2000};

  // Starts the thread; the first check runs at once. REQUIRES: `period` is positive; `notifier`
  // outlives the watchdog.
  ServiceWatchdog(const SystemdNotifier& notifier, std::chrono::microseconds period, Check check);
  // Stops and joins the thread, after the running check (at most kMaxCheckTime).
  ~ServiceWatchdog();
  ServiceWatchdog(const ServiceWatchdog&) = delete;
  ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

 private:
  void watch();

  const SystemdNotifier& notifier_;
  const std::chrono::microseconds interval_;  // a quarter period
  const Check check_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;     // started last, after every member it uses
};
