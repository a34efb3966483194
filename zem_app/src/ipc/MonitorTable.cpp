#include "ipc/MonitorTable.h"

#include "kest/ApplicationLogger.h"

namespace {

// Names and senders come from IPC callers: they are cut before they are logged.
constexpr std::size_t kMaxLoggedBytes = 256;
std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedBytes); }

}  // namespace

MonitorTable::Result MonitorTable::add(const std::string& name, bool known, const std::string& connection,
                                       const std::string& sender) {
  std::string report;
  Result result = Result::kAdded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Caller& caller = callers_[connection];
    caller.sender = sender;
    if (!known) {
      result = Result::kUnknownProperty;
    } else if (caller.names.count(name) != 0) {
      return Result::kAdded;
    } else if (caller.names.size() >= kMaxNamesPerCaller) {
      result = Result::kTooManyMonitors;
    } else {
      caller.names.insert(name);
      ++watchers_[name];
      return Result::kAdded;
    }
    ++caller.unreported;
    const Clock::time_point now = Clock::now();
    if (caller.reported && now - caller.lastReport < kReportInterval) return result;
    report = "Refused " + std::to_string(caller.unreported) + " monitor request(s) of caller " + shown(sender) +
             " in the last second, the latest for " + shown(name) +
             (result == Result::kUnknownProperty
                  ? ": no such property"
                  : ": it monitors " + std::to_string(kMaxNamesPerCaller) + " properties already");
    caller.reported = true;
    caller.lastReport = now;
    caller.unreported = 0;
  }
  ZEM_WARN(report);
  return result;
}

bool MonitorTable::isMonitored(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return watchers_.count(name) != 0;
}

void MonitorTable::dropCaller(const std::string& connection) {
  Caller caller;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = callers_.find(connection);
    if (found == callers_.end()) return;
    caller = std::move(found->second);
    callers_.erase(found);
    for (const std::string& name : caller.names) {
      const auto watched = watchers_.find(name);
      if (watched != watchers_.end() && --watched->second == 0) watchers_.erase(watched);
    }
  }
  if (caller.unreported != 0)
    ZEM_WARN("Refused " << caller.unreported << " monitor request(s) of caller " << shown(caller.sender)
                        << " before it left the bus");
}
