// Detects loads that crashed the process. A small state file per guarded name and tag records
// whether a load is in progress and how many consecutive loads never finished.
// The state file is DevicePaths::applicationDataFolder() + "/.crashguard/" + name + "." + tag.
// Thread safety: one guard per name and tag at a time.
#pragma once

#include <stdexcept>
#include <string>

#include "kest/Export.h"

class KEST_EXPORT CrashDetectedException : public std::runtime_error {
 public:
  explicit CrashDetectedException(const std::string& what) : std::runtime_error(what) {}
};
class KEST_EXPORT UnrecoverableCrashDetectedException : public std::runtime_error {
 public:
  explicit UnrecoverableCrashDetectedException(const std::string& what) : std::runtime_error(what) {}
};

class KEST_EXPORT CrashGuard {
 public:
  // Marks a load of (name, tag) as begun. When the previous load began and never ended, counts
  // one more consecutive crash, clears the in-progress mark and throws: CrashDetectedException
  // while the consecutive crashes are at most `recoverableCrashes`, UnrecoverableCrashDetectedException
  // beyond. `historySize` is how many crash times the state file keeps for diagnosis.
  CrashGuard(const std::string& name, const std::string& tag, unsigned recoverableCrashes, unsigned historySize);
  // Marks the load as finished and resets the consecutive count.
  ~CrashGuard();
  CrashGuard(const CrashGuard&) = delete;
  CrashGuard& operator=(const CrashGuard&) = delete;

 private:
  std::string stateFile_;
};
