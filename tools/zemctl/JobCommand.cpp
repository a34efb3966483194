#include "JobCommand.h"

#include "CommandLine.h"

namespace {

using CommandLine::isOption;
using CommandLine::optionValue;
using CommandLine::parseSeconds;

bool parseBuild(const std::vector<std::string>& args, JobCommand* command, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (isOption(arg, "--description")) {
      if (!optionValue(args, &i, "--description", &command->descriptionFile, error)) return false;
    } else if (isOption(arg, "--type")) {
      if (!optionValue(args, &i, "--type", &command->descriptionType, error)) return false;
    } else if (isOption(arg, "--task-id")) {
      if (!optionValue(args, &i, "--task-id", &command->taskId, error)) return false;
    } else if (arg == "--force-override") {
      command->forceOverride = true;
    } else if (isOption(arg, "--payload")) {
      if (!optionValue(args, &i, "--payload", &value, error)) return false;
      const auto eq = value.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == value.size()) {
        *error = "--payload '" + value + "' is not TYPE=FILE";
        return false;
      }
      command->payloads.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else if (isOption(arg, "--key")) {
      if (!optionValue(args, &i, "--key", &command->keyFile, error)) return false;
    } else if (isOption(arg, "--output")) {
      if (!optionValue(args, &i, "--output", &command->output, error)) return false;
    } else if (arg == "-o") {
      if (!optionValue(args, &i, "-o", &command->output, error)) return false;
    } else {
      *error = "job build: unknown argument " + arg;
      return false;
    }
  }
  if (command->descriptionFile.empty() == command->descriptionType.empty()) {
    *error = "job build needs either --description FILE or --type TYPE";
    return false;
  }
  if (!command->descriptionFile.empty() && (!command->taskId.empty() || command->forceOverride)) {
    *error = "--task-id and --force-override go with --type, not with --description";
    return false;
  }
  if (!command->descriptionType.empty() && command->taskId.empty()) {
    *error = "job build --type needs --task-id ID";
    return false;
  }
  if (command->output.empty()) {
    *error = "job build needs -o OUT.zip";
    return false;
  }
  return true;
}

// "data request TYPE...", "data install SETTINGS.xml", "logs request [FILE...]", each with
// optional --task-id ID and --wait SECONDS.
bool parseOneStep(const std::string& group, const std::vector<std::string>& args, JobCommand* command,
                  std::string* error) {
  const std::string usage =
      group == "data" ? "data takes 'request TYPE...' or 'install SETTINGS.xml'" : "logs takes 'request [FILE...]'";
  if (args.empty() || (args[0] != "request" && !(group == "data" && args[0] == "install"))) {
    *error = usage;
    return false;
  }
  command->kind = group == "logs"        ? JobCommand::Kind::LogsRequest
                  : args[0] == "request" ? JobCommand::Kind::DataRequest
                                         : JobCommand::Kind::DataInstall;
  command->wait = std::chrono::seconds(60);
  for (size_t i = 1; i < args.size(); ++i) {
    std::string value;
    if (isOption(args[i], "--task-id")) {
      if (!optionValue(args, &i, "--task-id", &command->taskId, error)) return false;
      if (command->taskId.empty()) {
        *error = "--task-id needs an id";
        return false;
      }
    } else if (isOption(args[i], "--wait")) {
      if (!optionValue(args, &i, "--wait", &value, error)) return false;
      if (!parseSeconds(value, &command->wait)) {
        *error = "--wait needs a number of seconds (0 to 86400), not '" + value + "'";
        return false;
      }
    } else if (!args[i].empty() && args[i][0] == '-') {
      *error = group + " " + args[0] + ": unknown option " + args[i];
      return false;
    } else {
      command->items.push_back(args[i]);
    }
  }
  if (command->kind == JobCommand::Kind::DataInstall) {
    if (command->items.size() != 1) {
      *error = "data install takes one settings file";
      return false;
    }
    command->settingsFile = command->items.front();
    command->items.clear();
  } else if (command->kind == JobCommand::Kind::DataRequest && command->items.empty()) {
    *error = "data request needs at least one data type (e.g. ZEM_EVENT_LOG ZEM_GLOBAL_SETTINGS)";
    return false;
  }
  return true;
}

}  // namespace

bool JobCommand::parse(const std::string& group, const std::vector<std::string>& args, JobCommand* command,
                       std::string* error) {
  JobCommand result;
  if (group == "data" || group == "logs") {
    if (!parseOneStep(group, args, &result, error)) return false;
  } else if (group == "outbox") {
    if (args.size() != 1 || args[0] != "list") {
      *error = "outbox takes 'list'";
      return false;
    }
    result.kind = Kind::OutboxList;
  } else if (group != "job" || args.empty()) {
    *error = "job takes 'build', 'submit' or 'result'";
    return false;
  } else if (args[0] == "build") {
    result.kind = Kind::Build;
    if (!parseBuild(std::vector<std::string>(args.begin() + 1, args.end()), &result, error)) return false;
  } else if (args[0] == "submit") {
    if (args.size() != 2 || args[1].empty() || args[1][0] == '-') {
      *error = "job submit takes one container file";
      return false;
    }
    result.kind = Kind::Submit;
    result.container = args[1];
  } else if (args[0] == "result") {
    result.kind = Kind::Result;
    // After "--" every argument is the task id, so that an id beginning with '-' can be named.
    bool idOnly = false;
    for (size_t i = 1; i < args.size(); ++i) {
      std::string value;
      if (args[i] == "--" && !idOnly) {
        idOnly = true;
      } else if (!idOnly && isOption(args[i], "--wait")) {
        if (!optionValue(args, &i, "--wait", &value, error)) return false;
        if (!parseSeconds(value, &result.wait)) {
          *error = "--wait needs a number of seconds (0 to 86400), not '" + value + "'";
          return false;
        }
      } else if ((idOnly || (!args[i].empty() && args[i][0] != '-')) && result.taskId.empty()) {
        result.taskId = args[i];
      } else {
        *error = "job result: unexpected argument " + args[i];
        return false;
      }
    }
    if (result.taskId.empty()) {
      *error = "job result needs a task id";
      return false;
    }
  } else {
    *error = "job takes 'build', 'submit' or 'result', not '" + args[0] + "'";
    return false;
  }
  *command = std::move(result);
  return true;
}

std::string JobCommand::usage() {
  return "  job build --description FILE [--payload TYPE=FILE]... [--key KEY.pem] -o OUT.zip\n"
         "  job build --type TYPE --task-id ID [--force-override] [--payload TYPE=FILE]...\n"
         "            [--key KEY.pem] -o OUT.zip\n"
         "                             writes a task container: index.xml listing the description as\n"
         "                             TASK_REQUEST and each payload with its entry TYPE (e.g.\n"
         "                             ZEM_DATABASE), then the files under their own names. --type\n"
         "                             generates the description (e.g. RequestZemDatabaseTaskDescription);\n"
         "                             --key signs every entry with the PEM private key (SHA-256, Base64)\n"
         "  job submit FILE            copies the container into the inbox of the unit ($ZEM_SYSROOT)\n"
         "                             and announces it with JobAppeared; prints its path and the status\n"
         "  job result [--wait SECONDS] [--] TASK_ID\n"
         "                             prints the newest result package of the task in the outbox:\n"
         "                             success, errorType, errorMessage and its entries; exits 0 when\n"
         "                             the task succeeded, 3 when it failed, 2 when no package came\n"
         "  outbox list                the result packages in the outbox: name, size, task id\n"
         "  data request [--task-id ID] [--wait SECONDS] TYPE...\n"
         "                             asks for application data by ElementType name (ZEM_EVENT_LOG,\n"
         "                             ZEM_GLOBAL_SETTINGS): builds, submits and waits for the result\n"
         "                             (default 60 s), printed as by job result\n"
         "  data install [--task-id ID] [--wait SECONDS] SETTINGS.xml\n"
         "                             installs a global-settings file the same way\n"
         "  logs request [--task-id ID] [--wait SECONDS] [FILE...]\n"
         "                             asks for the system log and the named log files the same way;\n"
         "                             without --task-id a unique id is generated\n";
}
