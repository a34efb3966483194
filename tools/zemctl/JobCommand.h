// The job commands of zemctl parsed into one value: building a task container, submitting it to
// the unit's inbox, waiting for and printing its result package, listing the outbox; and the data
// and log requests that do all of it in one step.
// Thread safety: a plain value type; parse() is reentrant and touches neither bus nor files.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

struct JobCommand {
  enum class Kind { Build, Submit, Result, OutboxList, DataRequest, DataInstall, LogsRequest };

  Kind kind = Kind::Build;

  // ---- job build
  std::string descriptionFile;                                // --description FILE (a task description document)
  std::string descriptionType;                                // --type TYPE: the description is generated (with taskId)
  std::string taskId;                                         // --task-id ID (with --type)
  bool forceOverride = false;                                 // --force-override (with --type, for the install kinds)
  std::vector<std::pair<std::string, std::string>> payloads;  // --payload TYPE=FILE, in order
  std::string keyFile;                                        // --key KEY.pem: signs every entry; empty: no signatures
  std::string output;                                         // -o / --output OUT.zip

  // ---- job submit
  std::string container;  // the container file to place into the inbox

  // ---- data request TYPE..., data install SETTINGS.xml, logs request [FILE...] (taskId above:
  // --task-id, empty for a generated one; wait below: --wait, default 60 s)
  std::vector<std::string> items;  // ElementType names (data request) or log file paths (logs request)
  std::string settingsFile;        // data install

  // ---- job result (taskId above holds the task id)
  std::chrono::milliseconds wait{0};  // --wait SECONDS; 0 looks once

  // Parses the arguments that follow "job", "outbox", "data" or "logs" (`group`). Returns true and fills `command`;
  // returns false with a one-line reason in `error` for a usage error. Files are not looked at here.
  static bool parse(const std::string& group, const std::vector<std::string>& args, JobCommand* command,
                    std::string* error);
  // The lines of the help text that describe these commands.
  static std::string usage();
};
