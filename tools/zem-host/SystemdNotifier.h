// Tells the service manager how the daemon is doing (sd_notify): its status line, that it is ready,
// that it stops, and the watchdog keep-alive. Without NOTIFY_SOCKET in the environment nothing is
// sent and nothing fails; a failed send is not reported either (the manager then acts on its own).
// Thread safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class SystemdNotifier {
 public:
  // Sends one notification ("KEY=VALUE" lines separated by '\n').
  using Sender = std::function<void(const std::string& message)>;

  // Sends through sd_notify, keeping the environment for later notifications.
  SystemdNotifier();
  // Sends through `sender` instead; tests watch the messages this way.
  explicit SystemdNotifier(Sender sender);

  // "STATUS=<text>". `text` is the daemon's own wording, one line.
  void status(const std::string& text) const;
  // "READY=1" with the status line.
  void ready(const std::string& text) const;
  // "STOPPING=1" with the status line.
  void stopping(const std::string& text) const;
  // "WATCHDOG=1".
  void keepAlive() const;

  // The keep-alive period the manager expects of this process (WATCHDOG_USEC, when WATCHDOG_PID is
  // unset or names this process); zero when it expects none or the variables are malformed.
  static std::chrono::microseconds watchdogPeriod();

 private:
  const Sender send_;
};
