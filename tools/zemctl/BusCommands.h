// Runs "zemctl bus update": builds a task container whose UpdateBusPropertiesZemTaskDescription
// carries the given properties (signed when a key is given), places it into the unit's inbox,
// announces it, waits for its result package and prints the outcome. The unit's folders come
// from DevicePaths (ZEM_SYSROOT).
// Thread safety: run() is called once from the main thread.
#pragma once

#include <ostream>
#include <string>

#include "ZemctlCommand.h"

class BusCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  BusCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs `command.bus`. Prints "task ID", "success true|false" and, when the task set them,
  // "errorType N" and "errorMessage TEXT". Returns an exit code of Zemctl: kExitOk when the task
  // succeeded; kExitFailed (a name or value no document can carry, unreadable key or package,
  // refused announcement, failed task); kExitUnreachable (no bus, no service, or no result
  // package within --wait).
  // REQUIRES: command.action == ZemctlCommand::Action::Bus and command.bus.entries is not empty.
  int run(const ZemctlCommand& command);

  // The task description document of `bus` with `taskId`. Throws XPlus::Exception when a name or
  // value holds bytes that XML cannot carry.
  static std::string description(const BusCommand& bus, const std::string& taskId);

 private:
  std::ostream& out_;
  std::ostream& err_;
};
