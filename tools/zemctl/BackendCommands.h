// Runs "zemctl backend switch": builds an UpdateBackendConfigZemTaskDescription job whose
// properties hold the given entries and then the active backend profile, signs it when a key is
// given, places it into the unit's inbox, announces it, waits for its result package and prints
// the outcome. The unit's folders come from DevicePaths (ZEM_SYSROOT).
// Thread safety: run() is called once from the main thread.
#pragma once

#include <ostream>
#include <string>

#include "ZemctlCommand.h"

class BackendCommands {
 public:
  // The property that names the active backend profile, written last by the job.
  static constexpr const char* kActiveProfileProperty = "CONNECTIVITY.ACTIVE_BACKEND_PROFILE";

  // `out` takes the results, `err` the error messages. Neither is owned.
  BackendCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Prints "task ID", "success true|false", and "errorType N" and "errorMessage TEXT" when the
  // result carries them. Returns an exit code of Zemctl: kExitOk when the task succeeded;
  // kExitFailed (a document or container that cannot be built, a refused announcement, a failed
  // task, a package without result); kExitUnreachable (no bus, no service, or no result package
  // within --wait). REQUIRES: command.property.kind == PropertyCommand::Kind::BackendSwitch.
  int run(const ZemctlCommand& command);

  // The description document of the switch: the entries in order, then the active profile.
  // Throws XPlus::Exception when a name or value holds bytes that XML cannot carry.
  static std::string description(const PropertyCommand& command, const std::string& taskId);

 private:
  std::ostream& out_;
  std::ostream& err_;
};
