#include "SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <utility>

SystemdNotifier::SystemdNotifier()
    : SystemdNotifier([](const std::string& message) { sd_notify(0, message.c_str()); }) {}

SystemdNotifier::SystemdNotifier(Sender sender) : send_(std::move(sender)) {}

void SystemdNotifier::status(const std::string& text) const { send_("STATUS=" + text); }

void SystemdNotifier::ready(const std::string& text) const { send_("READY=1\nSTATUS=" + text); }

void SystemdNotifier::stopping(const std::string& text) const { send_("STOPPING=1\nSTATUS=" + text); }

void SystemdNotifier::keepAlive() const { send_("WATCHDOG=1"); }

std::chrono::microseconds SystemdNotifier::watchdogPeriod() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec);
}
