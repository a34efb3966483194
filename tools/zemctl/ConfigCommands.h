// Runs "zemctl config install|request|delete": each builds a task container for the matching
// provisioning-configuration task (signed when a key is given), places it into the unit's inbox,
// announces it, waits for its result package and prints the outcome; "request" also gives back
// the configuration the package carries. The unit's folders come from DevicePaths (ZEM_SYSROOT).
// "config from-dbc" needs no unit: it writes a configuration made from a DBC file.
// Thread safety: run() is called once from the main thread.
#pragma once

#include <ostream>
#include <string>

#include "ZemctlCommand.h"

class ConfigCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  ConfigCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs `command.property`. Prints "task ID" and "success true|false" (on `err` instead when
  // "request" prints the configuration on `out`), and for "request -o FILE" "wrote FILE".
  // Returns an exit code of Zemctl: kExitOk when the task succeeded; kExitFailed (unreadable or
  // invalid configuration file, key or package, refused announcement, failed task, a request
  // package without a valid configuration, FILE not writable); kExitUnreachable (no bus, no
  // service, or no result package within --wait).
  // REQUIRES: command.property.kind is ConfigInstall, ConfigRequest, ConfigDelete or ConfigFromDbc.
  int run(const ZemctlCommand& command);

  // Runs "config from-dbc": prints one line on `err` per signal left out, writes the configuration
  // to command.output atomically (printing "wrote FILE") or to `out`. Returns kExitOk, also when
  // signals were left out; kExitUsage, nothing written, when the DBC file or the --into
  // configuration cannot be read or does not parse, a --message names no message, or --into
  // defines a name already (each listed); kExitFailed when the output cannot be written.
  // REQUIRES: command.kind is ConfigFromDbc.
  int fromDbc(const PropertyCommand& command);

  // The description type of the kind ("InstallProvisioningConfigTaskDescription", ...).
  static std::string descriptionType(PropertyCommand::Kind kind);

 private:
  // Writes the configuration of the request package at `packagePath` (entry `entryName`) to
  // command.property.output, or to `out_` when that is empty. Returns an exit code.
  int deliverConfig(const PropertyCommand& command, const std::string& packagePath, const std::string& entryName);

  std::ostream& out_;
  std::ostream& err_;
};
