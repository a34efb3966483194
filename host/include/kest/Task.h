// The unit of work run by the TaskExecutionQueue.
// Thread safety: a task is executed by the queue's worker thread only; other threads only push it.
#pragma once

#include <map>
#include <string>

#include "kest/Export.h"

enum class JobResultType { Success = 0, Failure = 1, Retry = 2 };

class KEST_EXPORT Task {
 public:
  // Priorities: higher runs first.
  static const int HIGHEST;  // 100
  static const int NORMAL;   // 0

  virtual ~Task() = default;
  virtual std::string getID() const = 0;
  // Runs the task. The result is recorded in the queue's replay history.
  virtual bool execute() = 0;
  // Called by the queue after execute() (and after reschedule() on failure); the result is unused.
  virtual bool finalize() { return true; }
  virtual void cancel() {}
  virtual int getPriority() const { return NORMAL; }
  virtual bool isSynchronous() const { return false; }
  virtual bool isPostponable() const { return false; }
  virtual void kill() {}
  virtual std::map<std::string, std::string> getSettings() const { return {}; }
  virtual void reportError(const std::string& /*message*/) {}
  // Called by the queue after a failed execute; the default does nothing.
  virtual void reschedule(JobResultType /*result*/) {}
  virtual bool match(const Task& /*other*/) const { return false; }
  virtual bool isExternal() const { return false; }
};
