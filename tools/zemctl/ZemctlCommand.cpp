#include "ZemctlCommand.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include "CommandLine.h"

namespace {

// Parses a whole decimal integer of int64 range ("-5", "42"); rejects empty text, signs alone,
// trailing characters and overflow.
bool parseInteger(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool optionValue(const std::vector<std::string>& args, size_t* i, const std::string& name, std::string* value,
                 std::string* error) {
  const std::string& arg = args[*i];
  if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
    *value = arg.substr(name.size() + 1);
  } else if (*i + 1 < args.size()) {
    *value = args[++*i];
  } else {
    *error = name + " needs a value";
    return false;
  }
  return true;
}

using CommandLine::isOption;

}  // namespace

bool ZemctlCommand::parseParameter(const std::string& argument, Ipc::IpcParameterSet* parameters, std::string* error) {
  const auto eq = argument.find('=');
  const auto colon = eq == std::string::npos ? std::string::npos : argument.find(':', eq + 1);
  if (eq == std::string::npos || eq == 0 || colon == std::string::npos) {
    *error = "parameter '" + argument + "' is not NAME=TYPE:VALUE";
    return false;
  }
  const std::string name = argument.substr(0, eq);
  const std::string type = argument.substr(eq + 1, colon - eq - 1);
  const std::string value = argument.substr(colon + 1);
  if (type == "s") {
    parameters->add(std::make_unique<Ipc::IpcStringParameter>(name, value));
  } else if (type == "x") {
    int64_t number = 0;
    if (!parseInteger(value, &number)) {
      *error = "parameter '" + name + "': '" + value + "' is not an integer";
      return false;
    }
    parameters->add(std::make_unique<Ipc::IpcIntegerParameter>(name, number));
  } else if (type == "ay") {
    parameters->add(std::make_unique<Ipc::IpcByteFieldParameter>(name, value));
  } else if (type == "ayfile") {
    struct stat info {};
    std::ifstream in(value, std::ios::binary);
    if (stat(value.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !in.is_open()) {
      *error = "parameter '" + name + "': cannot read file " + value;
      return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();  // an empty file leaves the failbit of `bytes` set, which is fine
    if (in.bad()) {
      *error = "parameter '" + name + "': cannot read file " + value;
      return false;
    }
    parameters->add(std::make_unique<Ipc::IpcByteFieldParameter>(name, bytes.str()));
  } else {
    *error = "parameter '" + name + "': unknown type '" + type + "' (s, x, ay or ayfile)";
    return false;
  }
  return true;
}

namespace {

// Reads the global options from args[*i] on and leaves *i at the first argument that is not one.
// Returns false with the reason in `error` for an unknown or malformed option. Sets *finished
// (and the action) for --help and --version, either of which ends the parse.
bool parseGlobalOptions(const std::vector<std::string>& args, size_t* i, ZemctlCommand* result, bool* finished,
                        std::string* error) {
  for (; *i < args.size(); ++*i) {
    const std::string& arg = args[*i];
    std::string value;
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      *finished = true;
      result->action = arg == "--version" ? ZemctlCommand::Action::ToolVersion : ZemctlCommand::Action::Help;
      return true;
    } else if (arg == "--system") {
      result->systemBus = true;
    } else if (arg == "--session") {
      result->systemBus = false;
    } else if (isOption(arg, "--timeout")) {
      if (!optionValue(args, i, "--timeout", &value, error)) return false;
      int64_t ms = 0;
      if (!parseInteger(value, &ms) || ms <= 0 || ms > std::numeric_limits<int32_t>::max()) {
        *error = "--timeout needs a positive number of milliseconds, not '" + value + "'";
        return false;
      }
      result->timeout = std::chrono::milliseconds(ms);
    } else if (isOption(arg, "--component")) {
      if (!optionValue(args, i, "--component", &value, error)) return false;
      if (value.empty()) {
        *error = "--component needs a name";
        return false;
      }
      result->component = value;
    } else if (isOption(arg, "--as-component")) {
      if (!optionValue(args, i, "--as-component", &value, error)) return false;
      // One element of a bus name: letters, digits, '_' and '-', not starting with a digit.
      bool valid = !value.empty() && value.size() <= 200 && std::isdigit(static_cast<unsigned char>(value[0])) == 0;
      for (const char c : value)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-');
      if (!valid) {
        *error = "--as-component needs a name of letters, digits, '_' and '-' (not starting with a digit)";
        return false;
      }
      result->ownedComponent = value;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      return true;
    }
  }
  return true;
}

bool parseLogLevel(const std::vector<std::string>& rest, ZemctlCommand* result, std::string* error) {
  if (rest.empty() || (rest.size() == 1 && rest[0] == "get")) {
    result->action = ZemctlCommand::Action::LogLevelGet;
    return true;
  }
  if (rest.size() == 2 && rest[0] == "set") {
    if (!parseInteger(rest[1], &result->level)) {
      *error = "log-level set needs an integer level (0 FATAL ... 5 TRACE), not '" + rest[1] + "'";
      return false;
    }
    result->action = ZemctlCommand::Action::LogLevelSet;
    return true;
  }
  *error = "log-level takes 'get' or 'set N'";
  return false;
}

bool parseCall(const std::vector<std::string>& rest, ZemctlCommand* result, std::string* error) {
  if (rest.size() < 2) {
    *error = "call needs an interface and a method";
    return false;
  }
  result->action = ZemctlCommand::Action::Call;
  result->interfaceName = rest[0];
  result->method = rest[1];
  if (result->interfaceName.empty() || result->method.empty()) {
    *error = "call needs a non-empty interface and method";
    return false;
  }
  for (size_t p = 2; p < rest.size(); ++p) {
    if (!ZemctlCommand::parseParameter(rest[p], &result->parameters, error)) return false;
  }
  return true;
}

bool parseWatch(const std::vector<std::string>& rest, ZemctlCommand* result, std::string* error) {
  result->action = ZemctlCommand::Action::Watch;
  for (size_t p = 0; p < rest.size(); ++p) {
    std::string value;
    if (!isOption(rest[p], "--count")) {
      *error = "watch: unknown argument " + rest[p];
      return false;
    }
    if (!optionValue(rest, &p, "--count", &value, error)) return false;
    int64_t count = 0;
    if (!parseInteger(value, &count) || count <= 0) {
      *error = "--count needs a positive number, not '" + value + "'";
      return false;
    }
    result->count = static_cast<uint64_t>(count);
  }
  return true;
}

// "decode --dbc FILE [--signal NAME]... [LOG|-]": LOG defaults to standard input.
bool parseCanDecode(const std::vector<std::string>& rest, CanCommand* can, std::string* error) {
  can->kind = CanCommand::Kind::Decode;
  can->file = "-";
  bool haveLog = false;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (isOption(rest[i], "--dbc")) {
      if (!CommandLine::optionValue(rest, &i, "--dbc", &can->dbcFile, error)) return false;
    } else if (isOption(rest[i], "--signal")) {
      if (!CommandLine::optionValue(rest, &i, "--signal", &can->signalNames.emplace_back(), error)) return false;
    } else if (!haveLog && !rest[i].empty() && (rest[i] == "-" || rest[i][0] != '-')) {
      can->file = rest[i];
      haveLog = true;
    } else {
      *error = "can decode: unexpected argument '" + rest[i] + "'";
      return false;
    }
  }
  if (can->dbcFile.empty()) *error = "can decode needs --dbc FILE";
  return !can->dbcFile.empty();
}

bool parseCan(const std::vector<std::string>& rest, ZemctlCommand* result, std::string* error) {
  result->action = ZemctlCommand::Action::Can;
  CanCommand& can = result->can;
  if (!rest.empty() && rest[0] == "decode") return parseCanDecode(rest, &can, error);
  if (rest.size() == 2 && rest[0] == "replay") {
    can.kind = CanCommand::Kind::Replay;
    can.file = rest[1];
    return true;
  }
  if (!rest.empty() && rest[0] == "inject") {
    can.kind = CanCommand::Kind::Inject;
    if (rest.size() == 3 && rest[1] == "-f") {
      can.file = rest[2];
      if (!can.file.empty()) return true;
      *error = "can inject -f needs a file";
      return false;
    }
    for (size_t p = 1; p < rest.size(); ++p) {
      if (rest[p].empty() || rest[p].find('\n') != std::string::npos) {
        *error = "can inject takes one non-empty candump line per argument";
        return false;
      }
      can.frames.push_back(rest[p]);
    }
    if (!can.frames.empty()) return true;
  }
  *error = "can takes 'inject FRAME...', 'inject -f FILE', 'replay FILE' or 'decode --dbc FILE [LOG]'";
  return false;
}

bool parseBus(const std::vector<std::string>& rest, ZemctlCommand* result, std::string* error) {
  result->action = ZemctlCommand::Action::Bus;
  BusCommand& bus = result->bus;
  if (rest.empty() || rest[0] != "update") {
    *error = "bus takes 'update NAME=TYPE:VALUE...'";
    return false;
  }
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    std::string value;
    if (isOption(arg, "--key")) {
      if (!optionValue(rest, &i, "--key", &bus.keyFile, error)) return false;
    } else if (isOption(arg, "--task-id")) {
      if (!optionValue(rest, &i, "--task-id", &bus.taskId, error)) return false;
    } else if (isOption(arg, "--wait")) {
      if (!optionValue(rest, &i, "--wait", &value, error)) return false;
      if (!CommandLine::parseSeconds(value, &bus.wait)) {
        *error = "--wait needs a number of seconds (0 to 86400), not '" + value + "'";
        return false;
      }
    } else {
      const auto eq = arg.find('=');
      if (eq == std::string::npos || eq == 0) {
        *error = "bus update: '" + arg + "' is not NAME=TYPE:VALUE";
        return false;
      }
      BusCommand::Entry entry;
      entry.name = arg.substr(0, eq);
      if (!PropertyCommand::parseTypedValue(arg.substr(eq + 1), &entry.kind, &entry.text, error)) {
        *error = "bus update " + entry.name + ": " + *error;
        return false;
      }
      bus.entries.push_back(std::move(entry));
    }
  }
  if (bus.entries.empty()) {
    *error = "bus update needs at least one NAME=TYPE:VALUE";
    return false;
  }
  return true;
}

// Parses the action and its arguments into `result`. Returns false with the reason in `error`.
bool parseAction(const std::string& action, const std::vector<std::string>& rest, ZemctlCommand* result,
                 std::string* error) {
  using Action = ZemctlCommand::Action;
  if (action == "help") {
    result->action = Action::Help;
  } else if (action == "ping" || action == "version") {
    if (!rest.empty()) {
      *error = action + " takes no arguments";
      return false;
    }
    result->action = action == "ping" ? Action::Ping : Action::Version;
  } else if (action == "log-level") {
    return parseLogLevel(rest, result, error);
  } else if (action == "call") {
    return parseCall(rest, result, error);
  } else if (action == "watch") {
    return parseWatch(rest, result, error);
  } else if (action == "can") {
    return parseCan(rest, result, error);
  } else if (action == "bus") {
    return parseBus(rest, result, error);
  } else if (action == "job" || action == "outbox" || action == "data" || action == "logs") {
    result->action = Action::Job;
    return JobCommand::parse(action, rest, &result->job, error);
  } else if (action == "get" || action == "set" || action == "read" || action == "monitor" || action == "config" ||
             action == "backend") {
    result->action = Action::Property;
    return PropertyCommand::parse(action, rest, &result->property, error);
  } else {
    *error = "unknown command '" + action + "'";
    return false;
  }
  return true;
}

}  // namespace

bool ZemctlCommand::parse(const std::vector<std::string>& args, ZemctlCommand* command, std::string* error) {
  ZemctlCommand result;
  size_t i = 0;
  bool finished = false;
  if (!parseGlobalOptions(args, &i, &result, &finished, error)) return false;
  if (finished) {
    *command = std::move(result);
    return true;
  }
  if (i >= args.size()) {
    *error = "no command given";
    return false;
  }
  const std::string& action = args[i++];
  const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (!parseAction(action, rest, &result, error)) return false;
  const bool propertyCall =
      result.action == Action::Property &&
      (result.property.kind == PropertyCommand::Kind::Get || result.property.kind == PropertyCommand::Kind::Set ||
       result.property.kind == PropertyCommand::Kind::Read || result.property.kind == PropertyCommand::Kind::Monitor);
  if (!result.ownedComponent.empty() && !propertyCall) {
    *error = "--as-component goes with get, set, read and monitor";
    return false;
  }
  *command = std::move(result);
  return true;
}

std::string ZemctlCommand::usage() {
  return "usage: zemctl [--system] [--timeout MS] [--component NAME] [--as-component NAME] COMMAND [ARGUMENTS]\n"
         "Talks to the ZEM application (com.olvane.ZEM_APP) over D-Bus.\n"
         "\n"
         "Commands:\n"
         "  ping                       the initialisation state: status 1 (initialising) or 2 (ready)\n"
         "  version                    the software version, e.g. 19.22.3\n"
         "  log-level [get]            the stored log level, e.g. level 4 (INFO); 255 when none is stored\n"
         "  log-level set N            stores and applies level N (0 FATAL, 1 ERROR, 2 WARNING, 3 DEBUG,\n"
         "                             4 INFO, 5 TRACE); prints the result, 0 on success\n"
         "  call INTERFACE METHOD [NAME=TYPE:VALUE]...\n"
         "                             calls any method and prints its out parameters, one per line;\n"
         "                             INTERFACE is Zem, SelfDiag or a full interface name; TYPE is\n"
         "                             s (string), x (integer), ay (bytes, given as text) or ayfile\n"
         "                             (bytes read from the file VALUE)\n"
         "  watch [--count N]          prints each com.olvane.Zem signal of the component on one line,\n"
         "                             NAME name=value... (strings quoted, bytes as ay\"...\"), until\n"
         "                             interrupted or N signals were printed; ZemVehicleProperty as\n"
         "                             ZemVehicleProperty PROPERTY = VALUE\n"
         "  can inject FRAME...        sends candump lines (\"123#DEAD\", \"sim0 18FEF100#00FF\",\n"
         "                             \"123#R\") to the simulated vehicle bus in one call; prints\n"
         "                             accepted N (refused whole when a line does not parse)\n"
         "  can inject -f FILE         the same with the lines of FILE (- for standard input)\n"
         "  can replay FILE            sends the frames of a candump log as its time stamps say;\n"
         "                             prints replayed N\n"
         "  can decode --dbc FILE [--signal NAME]... [LOG|-]\n"
         "                             decodes the frames of a candump log or screen output (standard\n"
         "                             input by default) with the signals of a DBC file, without a bus:\n"
         "                             per frame [(TIME)] [IFACE] ID MESSAGE, then MESSAGE.SIGNAL = VALUE\n"
         "                             [UNIT] per signal; --signal keeps only MESSAGE.SIGNAL or SIGNAL\n"
         "  bus update NAME=TYPE:VALUE... [--key KEY.pem] [--task-id ID] [--wait SECONDS]\n"
         "                             writes the bus properties by a job (TYPE as for set), then the\n"
         "                             unit applies the bus configuration; prints task, success,\n"
         "                             errorType and errorMessage; exits 3 when the task failed\n" +
         JobCommand::usage() + PropertyCommand::usage() +
         "\n"
         "Options:\n"
         "  --system          use the system bus (default: the session bus)\n"
         "  --timeout MS      how long a call may take (default 5000)\n"
         "  --component NAME  the component to talk to (default ZEM_APP)\n"
         "  --as-component NAME\n"
         "                    get, set, read, monitor: call as component NAME, owning com.olvane.NAME\n"
         "                    (on the system bus only root may)\n"
         "  --version         print zemctl's own version and exit\n"
         "  --help            show this text\n"
         "\n"
         "Exit status: 0 success, 1 usage error, 2 the service is not running or the bus is\n"
         "unreachable, 3 the call failed or the application reported a failure.\n";
}
