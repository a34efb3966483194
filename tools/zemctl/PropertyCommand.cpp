#include "PropertyCommand.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "CommandLine.h"

namespace {

struct KindName {
  const char* text;
  PropertyCommand::RequestKind kind;
};

constexpr KindName kRequestKinds[] = {{"string", PropertyCommand::RequestKind::String},
                                      {"integer", PropertyCommand::RequestKind::Integer},
                                      {"float", PropertyCommand::RequestKind::Float},
                                      {"boolean", PropertyCommand::RequestKind::Boolean},
                                      {"bytefield", PropertyCommand::RequestKind::ByteField},
                                      {"list", PropertyCommand::RequestKind::List},
                                      {"map", PropertyCommand::RequestKind::Map},
                                      {"vehicle", PropertyCommand::RequestKind::Vehicle},
                                      {"imei", PropertyCommand::RequestKind::Imei},
                                      {"vin", PropertyCommand::RequestKind::Vin},
                                      {"tcuid", PropertyCommand::RequestKind::TcuId},
                                      {"systemtime", PropertyCommand::RequestKind::SystemTime},
                                      {"geolocation", PropertyCommand::RequestKind::GeoLocation}};

using CommandLine::isOption;
using CommandLine::optionValue;
using CommandLine::parseSeconds;

bool isOptionLike(const std::string& arg) { return !arg.empty() && arg[0] == '-'; }

// A whole decimal number without sign from 1 to 2^63-1.
bool parseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed <= 0) return false;
  *value = static_cast<uint64_t>(parsed);
  return true;
}

bool parseGet(const std::vector<std::string>& args, PropertyCommand* command, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (isOption(args[i], "--as")) {
      if (!optionValue(args, &i, "--as", &value, error)) return false;
      if (!PropertyCommand::parseRequestKind(value, &command->requestKind)) {
        *error = "--as: unknown kind '" + value +
                 "' (string, integer, float, boolean, bytefield, list, map, vehicle, imei, vin, tcuid, systemtime, "
                 "geolocation)";
        return false;
      }
    } else if (isOptionLike(args[i]) || args[i].empty() || !command->names.empty()) {
      *error = "get: unexpected argument '" + args[i] + "'";
      return false;
    } else {
      command->names.push_back(args[i]);
    }
  }
  const bool named = PropertyCommand::takesName(command->requestKind);
  if (named && command->names.empty()) {
    *error = "get needs a property name";
    return false;
  }
  if (!named && !command->names.empty()) {
    *error = "get --as a fixed property takes no name";
    return false;
  }
  return true;
}

bool parseMonitor(const std::vector<std::string>& args, PropertyCommand* command, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (isOption(args[i], "--count")) {
      if (!optionValue(args, &i, "--count", &value, error)) return false;
      if (!parseCount(value, &command->count)) {
        *error = "--count needs a positive number, not '" + value + "'";
        return false;
      }
    } else if (isOptionLike(args[i]) || args[i].empty()) {
      *error = "monitor: unexpected argument " + args[i];
      return false;
    } else {
      command->names.push_back(args[i]);
    }
  }
  if (command->names.empty()) {
    *error = "monitor needs at least one property name";
    return false;
  }
  return true;
}

// --key, --task-id and --wait of the job-backed commands. Returns false (with `error` set) for a
// malformed value; sets `*taken` when `args[*i]` was one of them.
bool parseJobOption(const std::vector<std::string>& args, size_t* i, PropertyCommand* command, bool* taken,
                    std::string* error) {
  const std::string& arg = args[*i];
  std::string value;
  *taken = true;
  if (isOption(arg, "--key")) return optionValue(args, i, "--key", &command->keyFile, error);
  if (isOption(arg, "--task-id")) return optionValue(args, i, "--task-id", &command->taskId, error);
  if (isOption(arg, "--wait")) {
    if (!optionValue(args, i, "--wait", &value, error)) return false;
    if (!parseSeconds(value, &command->wait)) {
      *error = "--wait needs a number of seconds (0 to 86400), not '" + value + "'";
      return false;
    }
    return true;
  }
  *taken = false;
  return true;
}

// "switch PROFILE [NAME=TYPE:VALUE...]" with the job options anywhere after PROFILE.
bool parseBackend(const std::vector<std::string>& args, PropertyCommand* command, std::string* error) {
  if (args.size() < 2 || args[0] != "switch" || args[1].empty() || isOptionLike(args[1])) {
    *error = "backend takes 'switch PROFILE [NAME=TYPE:VALUE...]'";
    return false;
  }
  command->kind = PropertyCommand::Kind::BackendSwitch;
  command->profile = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    bool taken = false;
    if (!parseJobOption(args, &i, command, &taken, error)) return false;
    if (taken) continue;
    const std::string& arg = args[i];
    const size_t equals = arg.find('=');
    if (equals == 0 || equals == std::string::npos || isOptionLike(arg)) {
      *error = "backend switch: '" + arg + "' is no NAME=TYPE:VALUE";
      return false;
    }
    PropertyCommand::TypedEntry entry;
    entry.name = arg.substr(0, equals);
    if (!PropertyCommand::parseTypedValue(arg.substr(equals + 1), &entry.kind, &entry.text, error)) return false;
    command->entries.push_back(std::move(entry));
  }
  return true;
}

// Letters, digits, '_' and '-', in words joined by single dots when `dots`; 1 to `maxLength` bytes.
bool isName(const std::string& text, size_t maxLength, bool dots) {
  if (text.empty() || text.size() > maxLength || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dot = c == '.' && dots && text[i - 1] != '.';
    if (!(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || dot)) return false;
  }
  return true;
}

// "from-dbc FILE.dbc [--prefix NAME] [--bus IFACE] [--message NAME|ID]... [--into CONFIG.xml] [-o OUT.xml]"
bool parseFromDbc(const std::vector<std::string>& args, PropertyCommand* command, std::string* error) {
  command->kind = PropertyCommand::Kind::ConfigFromDbc;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (isOption(arg, "--prefix") || isOption(arg, "--bus")) {
      const bool prefix = isOption(arg, "--prefix");
      if (!optionValue(args, &i, prefix ? "--prefix" : "--bus", &value, error)) return false;
      if (!isName(value, prefix ? 128 : 15, prefix)) {
        *error = prefix ? "--prefix needs words of letters, digits, '_' or '-' joined by dots"
                        : "--bus needs an interface name (up to 15 letters, digits, '_' or '-')";
        return false;
      }
      (prefix ? command->prefix : command->busInterface) = value;
    } else if (isOption(arg, "--message")) {
      if (!optionValue(args, &i, "--message", &value, error)) return false;
      command->messages.push_back(value);
    } else if (isOption(arg, "--into")) {
      if (!optionValue(args, &i, "--into", &command->intoFile, error)) return false;
    } else if (arg == "-o" || isOption(arg, "--output")) {
      if (!optionValue(args, &i, arg == "-o" ? "-o" : "--output", &command->output, error)) return false;
    } else if (!isOptionLike(arg) && !arg.empty() && command->dbcFile.empty()) {
      command->dbcFile = arg;
    } else {
      *error = "config from-dbc: unexpected argument " + arg;
      return false;
    }
  }
  if (command->dbcFile.empty()) {
    *error = "config from-dbc needs a DBC file";
    return false;
  }
  return true;
}

bool parseConfig(const std::vector<std::string>& args, PropertyCommand* command, std::string* error) {
  if (args.empty()) {
    *error = "config takes 'install FILE', 'request', 'delete' or 'from-dbc FILE.dbc'";
    return false;
  }
  if (args[0] == "from-dbc") return parseFromDbc(args, command, error);
  if (args[0] == "install") {
    command->kind = PropertyCommand::Kind::ConfigInstall;
  } else if (args[0] == "request") {
    command->kind = PropertyCommand::Kind::ConfigRequest;
  } else if (args[0] == "delete") {
    command->kind = PropertyCommand::Kind::ConfigDelete;
  } else {
    *error = "config takes 'install FILE', 'request', 'delete' or 'from-dbc FILE.dbc', not '" + args[0] + "'";
    return false;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    bool taken = false;
    if (!parseJobOption(args, &i, command, &taken, error)) return false;
    if (taken) continue;
    const std::string& arg = args[i];
    if (arg == "--force" && command->kind == PropertyCommand::Kind::ConfigInstall) {
      command->force = true;
    } else if ((arg == "-o" || isOption(arg, "--output")) && command->kind == PropertyCommand::Kind::ConfigRequest) {
      if (!optionValue(args, &i, arg == "-o" ? "-o" : "--output", &command->output, error)) return false;
    } else if (!isOptionLike(arg) && !arg.empty() && command->kind == PropertyCommand::Kind::ConfigInstall &&
               command->configFile.empty()) {
      command->configFile = arg;
    } else {
      *error = "config " + args[0] + ": unexpected argument " + arg;
      return false;
    }
  }
  if (command->kind == PropertyCommand::Kind::ConfigInstall && command->configFile.empty()) {
    *error = "config install needs a configuration file";
    return false;
  }
  return true;
}

// The checks of the value types of "TYPE:VALUE": each gives the document form of a valid `value`
// in `text`, or returns false with the reason in `error`.
bool stringForm(const std::string& value, std::string* text, std::string* /*error*/) {
  *text = value;
  return true;
}

bool integerForm(const std::string& value, std::string* text, std::string* error) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(value.c_str(), &end, 10);
  if (value.empty() || errno != 0 || *end != '\0' || parsed < std::numeric_limits<int32_t>::min() ||
      parsed > std::numeric_limits<int32_t>::max()) {
    *error = "integer: '" + value + "' is not a whole number from -2147483648 to 2147483647";
    return false;
  }
  *text = std::to_string(parsed);
  return true;
}

bool floatForm(const std::string& value, std::string* text, std::string* error) {
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(value.c_str(), &end);
  if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(parsed)) {
    *error = "float: '" + value + "' is not a finite number";
    return false;
  }
  *text = value;
  return true;
}

bool booleanForm(const std::string& value, std::string* text, std::string* error) {
  if (value != "true" && value != "false") {
    *error = "boolean: '" + value + "' is neither true nor false";
    return false;
  }
  *text = value;
  return true;
}

bool byteFieldForm(const std::string& value, std::string* text, std::string* error) {
  const bool prefixed = value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  const std::string digits = prefixed ? value.substr(2) : value;
  bool hex = !digits.empty() && digits.size() % 2 == 0;
  std::string normalised = "0x";
  for (const char c : digits) {
    hex = hex && std::isxdigit(static_cast<unsigned char>(c)) != 0;
    normalised += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (!hex) {
    *error = "bytefield: '" + value + "' is not whole bytes in hexadecimal (e.g. 0x00FF)";
    return false;
  }
  *text = std::move(normalised);
  return true;
}

struct ValueType {
  const char* name;
  PropertyCommand::ValueKind kind;
  bool (*documentForm)(const std::string& value, std::string* text, std::string* error);
};

constexpr ValueType kValueTypes[] = {{"string", PropertyCommand::ValueKind::String, stringForm},
                                     {"integer", PropertyCommand::ValueKind::Integer, integerForm},
                                     {"float", PropertyCommand::ValueKind::Float, floatForm},
                                     {"boolean", PropertyCommand::ValueKind::Boolean, booleanForm},
                                     {"bytefield", PropertyCommand::ValueKind::ByteField, byteFieldForm}};

}  // namespace

bool PropertyCommand::parseRequestKind(const std::string& text, RequestKind* kind) {
  for (const KindName& entry : kRequestKinds) {
    if (text == entry.text) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

bool PropertyCommand::takesName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Imei:
    case RequestKind::Vin:
    case RequestKind::TcuId:
    case RequestKind::SystemTime:
    case RequestKind::GeoLocation:
      return false;
    default:
      return true;
  }
}

bool PropertyCommand::parseTypedValue(const std::string& argument, ValueKind* kind, std::string* text,
                                      std::string* error) {
  const auto colon = argument.find(':');
  if (colon == std::string::npos) {
    *error = "value '" + argument + "' is not TYPE:VALUE (string, integer, float, boolean or bytefield)";
    return false;
  }
  const std::string type = argument.substr(0, colon);
  for (const ValueType& entry : kValueTypes) {
    if (type != entry.name) continue;
    std::string form;
    if (!entry.documentForm(argument.substr(colon + 1), &form, error)) return false;
    *kind = entry.kind;
    *text = std::move(form);
    return true;
  }
  *error = "unknown value type '" + type + "' (string, integer, float, boolean or bytefield)";
  return false;
}

bool PropertyCommand::parse(const std::string& group, const std::vector<std::string>& args, PropertyCommand* command,
                            std::string* error) {
  PropertyCommand result;
  if (group == "get") {
    result.kind = Kind::Get;
    if (!parseGet(args, &result, error)) return false;
  } else if (group == "set") {
    result.kind = Kind::Set;
    if (args.size() != 2 || args[0].empty() || isOptionLike(args[0])) {
      *error = "set takes a property name and TYPE:VALUE";
      return false;
    }
    result.names.push_back(args[0]);
    if (!parseTypedValue(args[1], &result.valueKind, &result.valueText, error)) return false;
  } else if (group == "read") {
    result.kind = Kind::Read;
    if (args.size() != 1 || args[0].empty() || isOptionLike(args[0])) {
      *error = "read takes one property name";
      return false;
    }
    result.names.push_back(args[0]);
  } else if (group == "monitor") {
    result.kind = Kind::Monitor;
    if (!parseMonitor(args, &result, error)) return false;
  } else if (group == "config") {
    if (!parseConfig(args, &result, error)) return false;
  } else if (group == "backend") {
    if (!parseBackend(args, &result, error)) return false;
  } else {
    *error = "unknown property command '" + group + "'";
    return false;
  }
  *command = std::move(result);
  return true;
}

std::string PropertyCommand::usage() {
  return "  get NAME [--as KIND]       requests a property and prints its value; lists and maps as\n"
         "                             indented trees (a map entry as KEY: VALUE). KIND: string (default),\n"
         "                             integer, float, boolean, bytefield, list, map, vehicle (NAME is a\n"
         "                             vehicle property); imei, vin, tcuid, systemtime, geolocation take\n"
         "                             no NAME. Exits 3 when the application refuses the request\n"
         "  set NAME TYPE:VALUE        updates a property; TYPE is string, integer (32 bits), float,\n"
         "                             boolean (true or false) or bytefield (hex, e.g. 0x00FF); prints\n"
         "                             the result, exits 3 when the update was refused\n"
         "  read NAME                  the property's value as text (ReadStringProperty; empty when unknown)\n"
         "  monitor NAME... [--count N]\n"
         "                             registers a monitor for each NAME, then prints each change as\n"
         "                             NAME = VALUE until interrupted or N changes were printed\n"
         "  config install FILE [--force] | config request [-o FILE] | config delete\n"
         "         [--key KEY.pem] [--task-id ID] [--wait SECONDS]\n"
         "                             installs (--force: replacing), requests or deletes the\n"
         "                             provisioning configuration by a job and prints the outcome;\n"
         "                             request writes the configuration to FILE or to stdout\n"
         "  config from-dbc FILE.dbc [--prefix NAME] [--bus IFACE] [--message NAME|ID]... [--into CONFIG.xml]\n"
         "         [-o OUT.xml]\n"
         "                             writes a provisioning configuration with one property per signal\n"
         "                             ([NAME.]MESSAGE.SIGNAL; a float, a boolean for a single bit) to\n"
         "                             OUT.xml or stdout; --into adds them to CONFIG.xml (refusing names\n"
         "                             it has). Signals it cannot express are named on stderr. Exits 1\n"
         "                             when the files do not parse, a message is unknown or a name clashes\n"
         "  backend switch PROFILE [NAME=TYPE:VALUE...] [--key KEY.pem] [--task-id ID] [--wait SECONDS]\n"
         "                             writes the properties NAME (TYPE as for set), then makes PROFILE\n"
         "                             the active backend profile by a job (client certificate from the\n"
         "                             profile's KMS, switch, reload); prints task, success, errorType and\n"
         "                             errorMessage\n";
}
