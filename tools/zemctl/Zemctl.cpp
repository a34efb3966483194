#include "Zemctl.h"

#include <exception>
#include <memory>

#include "BackendCommands.h"
#include "BusCommands.h"
#include "CanCommands.h"
#include "ConfigCommands.h"
#include "JobCommands.h"
#include "PropertyCommands.h"
#include "PropertyDocuments.h"
#include "ResultTree.h"
#include "WatchPrinter.h"
#include "kest/ApplicationLogger.h"
#include "kest/ipc/DBusIpcClient.h"

namespace {

// The client's text for a call to a component that nobody serves (see DBusIpcClient::call).
constexpr const char* kNotRunningText = "is not running";

std::string busName(const ZemctlCommand& command) {
  return command.component.find('.') != std::string::npos ? command.component : "com.olvane." + command.component;
}

const char* busKind(const ZemctlCommand& command) { return command.systemBus ? "system" : "session"; }

std::string quoted(const std::string& bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string Zemctl::formatValue(const Ipc::IpcParameter& parameter) {
  switch (parameter.getType()) {
    case Ipc::IpcParameterType::String:
      return static_cast<const Ipc::IpcStringParameter&>(parameter).getValue();
    case Ipc::IpcParameterType::Integer:
      return std::to_string(static_cast<const Ipc::IpcIntegerParameter&>(parameter).getValue());
    case Ipc::IpcParameterType::ByteField:
      return static_cast<const Ipc::IpcByteFieldParameter&>(parameter).getValueAsString();
    case Ipc::IpcParameterType::Unsupported:
      return "(unsupported type " + static_cast<const Ipc::IpcUnsupportedParameter&>(parameter).getSignature() + ")";
  }
  return std::string();
}

std::string Zemctl::formatSignal(const std::string& signalName, const Ipc::IpcParameterSet& parameters) {
  std::string line = signalName;
  for (const auto& [name, parameter] : parameters.all()) {
    line += " " + name + "=";
    switch (parameter->getType()) {
      case Ipc::IpcParameterType::String:
        line += quoted(formatValue(*parameter));
        break;
      case Ipc::IpcParameterType::Integer:
        line += formatValue(*parameter);
        break;
      case Ipc::IpcParameterType::ByteField:
        line += "ay" + quoted(formatValue(*parameter));
        break;
      case Ipc::IpcParameterType::Unsupported:
        line += "?" + static_cast<const Ipc::IpcUnsupportedParameter&>(*parameter).getSignature();
        break;
    }
  }
  return line;
}

std::string Zemctl::formatVehicleProperty(const Ipc::IpcParameterSet& parameters) {
  const Ipc::IpcParameter* property = parameters.find("property");
  if (property == nullptr || property->getType() != Ipc::IpcParameterType::ByteField)
    return formatSignal(kVehiclePropertySignal, parameters);
  const std::string& xml = static_cast<const Ipc::IpcByteFieldParameter*>(property)->getValueAsString();
  try {
    const auto result = PropertyDocuments::result(xml);
    std::string value;
    if (result->element_value() != nullptr && ResultTree::scalarText(*result->element_value(), &value)) {
      const auto* named =
          dynamic_cast<const Sarnet_Configuration::Types::BooleanPropertyResult*>(result->element_value());
      const std::string name = named != nullptr ? named->get_property() : std::string("?");
      return std::string(kVehiclePropertySignal) + " " + ResultTree::oneLine(name) + " = " + ResultTree::oneLine(value);
    }
  } catch (const std::exception&) {
    // Not a property result: shown as raw text below.
  }
  return std::string(kVehiclePropertySignal) + " " + ResultTree::oneLine(ApplicationLogger::shortened(xml, 200));
}

std::string Zemctl::logLevelName(int64_t level) {
  static const char* const kNames[] = {"FATAL", "ERROR", "WARNING", "DEBUG", "INFO", "TRACE"};
  if (level >= 0 && level <= 5) return kNames[level];
  if (level == 255) return "not set";
  return "unknown";
}

int Zemctl::run(const ZemctlCommand& command) {
  if (command.action == ZemctlCommand::Action::Help) {
    out_ << ZemctlCommand::usage();
    return kExitOk;
  }
  if (command.action == ZemctlCommand::Action::ToolVersion) {
    out_ << "zemctl " << ZEM_SOFTWARE_VERSION << "\n";
    return kExitOk;
  }
  if (command.action == ZemctlCommand::Action::Watch) return watch(command);
  if (command.action == ZemctlCommand::Action::Job) return JobCommands(out_, err_).run(command);
  if (command.action == ZemctlCommand::Action::Can) return CanCommands(out_, err_).run(command);
  if (command.action == ZemctlCommand::Action::Bus) return BusCommands(out_, err_).run(command);
  if (command.action == ZemctlCommand::Action::Property) {
    const PropertyCommand::Kind kind = command.property.kind;
    if (kind == PropertyCommand::Kind::BackendSwitch) return BackendCommands(out_, err_).run(command);
    const bool config = kind == PropertyCommand::Kind::ConfigInstall || kind == PropertyCommand::Kind::ConfigRequest ||
                        kind == PropertyCommand::Kind::ConfigDelete || kind == PropertyCommand::Kind::ConfigFromDbc;
    return config ? ConfigCommands(out_, err_).run(command) : PropertyCommands(out_, err_).run(command);
  }

  int exitCode = kExitOk;
  const std::unique_ptr<Ipc::DBusIpcClient> client = connect(command, &exitCode);
  if (client == nullptr) return exitCode;
  switch (command.action) {
    case ZemctlCommand::Action::Ping:
      return ping(command, *client);
    case ZemctlCommand::Action::Version:
      return version(command, *client);
    case ZemctlCommand::Action::LogLevelGet:
      return logLevelGet(command, *client);
    case ZemctlCommand::Action::LogLevelSet:
      return logLevelSet(command, *client);
    case ZemctlCommand::Action::Call: {
      Ipc::IpcParameterSet answer;
      const int rc = call(command, *client, command.interfaceName, command.method, command.parameters, &answer);
      if (rc != kExitOk) return rc;
      for (const auto& [name, parameter] : answer.all()) out_ << name << " " << formatValue(*parameter) << "\n";
      return kExitOk;
    }
    case ZemctlCommand::Action::Help:
    case ZemctlCommand::Action::ToolVersion:
    case ZemctlCommand::Action::Watch:
    case ZemctlCommand::Action::Job:
    case ZemctlCommand::Action::Property:
    case ZemctlCommand::Action::Can:
    case ZemctlCommand::Action::Bus:
      break;
  }
  return kExitUsage;
}

std::unique_ptr<Ipc::DBusIpcClient> Zemctl::connect(const ZemctlCommand& command, int* exitCode,
                                                    const std::string& ownedName) {
  try {
    return std::make_unique<Ipc::DBusIpcClient>(
        command.systemBus ? Ipc::DBusBusType::System : Ipc::DBusBusType::Session, ownedName);
  } catch (const std::exception& e) {
    if (ownedName.empty()) {
      err_ << "zemctl: cannot connect to the " << busKind(command) << " bus: " << e.what() << "\n";
      *exitCode = kExitUnreachable;
    } else {
      err_ << "zemctl: cannot connect to the " << busKind(command) << " bus as " << ownedName << ": " << e.what()
           << "\n";
      *exitCode = kExitFailed;
    }
    return nullptr;
  }
}

int Zemctl::call(const ZemctlCommand& command, Ipc::DBusIpcClient& client, const std::string& interfaceName,
                 const std::string& method, const Ipc::IpcParameterSet& in, Ipc::IpcParameterSet* answer) {
  try {
    *answer = client.call(command.component, interfaceName, method, in, command.timeout);
    return kExitOk;
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (text.find(kNotRunningText) != std::string::npos) {
      err_ << "zemctl: " << busName(command) << " is not running on the " << busKind(command) << " bus\n";
      return kExitUnreachable;
    }
    err_ << "zemctl: " << method << " failed: " << text << "\n";
    return kExitFailed;
  }
}

bool Zemctl::integer(const Ipc::IpcParameterSet& answer, const std::string& method, const std::string& name,
                     int64_t* value) {
  const Ipc::IpcParameter* parameter = answer.find(name);
  if (parameter == nullptr || parameter->getType() != Ipc::IpcParameterType::Integer) {
    err_ << "zemctl: the answer to " << method << " holds no integer \"" << name << "\"\n";
    return false;
  }
  *value = static_cast<const Ipc::IpcIntegerParameter*>(parameter)->getValue();
  return true;
}

int Zemctl::ping(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  Ipc::IpcParameterSet answer;
  if (const int rc = call(command, client, "Zem", "Ping", Ipc::IpcParameterSet(), &answer); rc != kExitOk) return rc;
  int64_t status = 0;
  if (!integer(answer, "Ping", "status", &status)) return kExitFailed;
  out_ << "status " << status << "\n";
  return kExitOk;
}

int Zemctl::version(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  Ipc::IpcParameterSet answer;
  const int rc = call(command, client, "SelfDiag", "GetSwVersion", Ipc::IpcParameterSet(), &answer);
  if (rc != kExitOk) return rc;
  int64_t major = 0, minor = 0, patch = 0;
  if (!integer(answer, "GetSwVersion", "major", &major) || !integer(answer, "GetSwVersion", "minor", &minor) ||
      !integer(answer, "GetSwVersion", "patch", &patch)) {
    return kExitFailed;
  }
  out_ << major << "." << minor << "." << patch << "\n";
  return kExitOk;
}

int Zemctl::logLevelGet(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  Ipc::IpcParameterSet answer;
  const int rc = call(command, client, "SelfDiag", "GetComponentLogLevel", Ipc::IpcParameterSet(), &answer);
  if (rc != kExitOk) return rc;
  int64_t level = 0;
  if (!integer(answer, "GetComponentLogLevel", "level", &level)) return kExitFailed;
  out_ << "level " << level << " (" << logLevelName(level) << ")\n";
  return kExitOk;
}

int Zemctl::logLevelSet(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcIntegerParameter>("level", command.level));
  Ipc::IpcParameterSet answer;
  if (const int rc = call(command, client, "SelfDiag", "SetComponentLogLevel", in, &answer); rc != kExitOk) return rc;
  int64_t result = 0;
  if (!integer(answer, "SetComponentLogLevel", "result", &result)) return kExitFailed;
  out_ << "result " << result << "\n";
  if (result != 0) {
    err_ << "zemctl: the application could not set log level " << command.level << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

int Zemctl::watch(const ZemctlCommand& command) {
  WatchPrinter printer(out_, command.count);  // before the client: its threads inherit the signal mask
  int exitCode = kExitOk;
  const std::unique_ptr<Ipc::DBusIpcClient> client = connect(command, &exitCode);
  if (client == nullptr) return exitCode;

  std::unique_ptr<Ipc::DBusIpcClient::Subscription> subscription;
  try {
    subscription = client->subscribe(command.component, [&](const std::string& name, const Ipc::IpcParameterSet& p) {
      printer.print(name == kVehiclePropertySignal ? formatVehicleProperty(p) : formatSignal(name, p));
    });
  } catch (const std::exception& e) {
    err_ << "zemctl: cannot watch " << busName(command) << ": " << e.what() << "\n";
    return kExitUnreachable;
  }
  err_ << "zemctl: watching the signals of " << busName(command) << " on the " << busKind(command) << " bus"
       << std::endl;
  printer.waitForStop();
  subscription.reset();
  return kExitOk;
}
