// The monitor registrations: which property names are announced with "PropertyValueChanged", and
// which caller asked for each, so that one caller holds a bounded share of the table and its share
// goes when it leaves the bus. Refusals are reported at most once a second per caller, with a count,
// so that a flood of refused requests cannot flood the log.
// Thread safety: every method may be called from any thread; mutex_ guards callers_ and watchers_.
// Nothing is logged while mutex_ is held.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

class MonitorTable {
 public:
  // Names one caller may monitor at once.
  static constexpr std::size_t kMaxNamesPerCaller = 256;
  // Refusals of one caller are reported at most once per interval.
  static constexpr std::chrono::seconds kReportInterval{1};

  // The outcome of add(); the numbers are what "MonitorProperty" answers as "result".
  enum class Result { kAdded = 0, kUnknownProperty = 1, kTooManyMonitors = 2 };

  // Registers `name` for the caller on `connection`; `sender` names that caller in logs and `known`
  // says whether the property map holds `name`. Returns kAdded (also when the caller monitors it
  // already), kUnknownProperty when !known, or kTooManyMonitors when the caller monitors
  // kMaxNamesPerCaller other names. A refusal is counted against the caller and WARNed when the
  // caller's last report is kReportInterval old (or it has none), with the count since then.
  Result add(const std::string& name, bool known, const std::string& connection, const std::string& sender);
  // True while at least one caller monitors `name`.
  bool isMonitored(const std::string& name) const;
  // Forgets the caller on `connection`: its names are no longer monitored on its behalf, and its
  // refusals not reported yet are WARNed once. Unknown connections are ignored.
  void dropCaller(const std::string& connection);

 private:
  using Clock = std::chrono::steady_clock;
  struct Caller {
    std::string sender;
    std::set<std::string> names;
    bool reported = false;  // a refusal was reported at lastReport
    Clock::time_point lastReport;
    std::size_t unreported = 0;  // refusals since lastReport
  };

  mutable std::mutex mutex_;
  std::map<std::string, Caller> callers_;        // by connection; guarded by mutex_
  std::map<std::string, std::size_t> watchers_;  // name -> callers monitoring it (> 0); guarded by mutex_
};
