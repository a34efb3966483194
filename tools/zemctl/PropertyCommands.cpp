#include "PropertyCommands.h"

#include <exception>
#include <set>

#include "PropertyDocuments.h"
#include "ResultTree.h"
#include "WatchPrinter.h"
#include "Zemctl.h"
#include "kest/ipc/DBusIpcClient.h"

namespace {

// The text of a string parameter of a signal; empty when absent or of another type.
std::string stringParameter(const Ipc::IpcParameterSet& parameters, const std::string& name) {
  const Ipc::IpcParameter* p = parameters.find(name);
  if (p == nullptr || p->getType() != Ipc::IpcParameterType::String) return std::string();
  return static_cast<const Ipc::IpcStringParameter*>(p)->getValue();
}

}  // namespace

std::string PropertyCommands::changeLine(const std::string& name, const std::string& value) {
  return ResultTree::oneLine(name) + " = " + ResultTree::oneLine(value);
}

int PropertyCommands::run(const ZemctlCommand& command) {
  if (command.property.kind == PropertyCommand::Kind::Monitor) return monitor(command);
  int exitCode = Zemctl::kExitOk;
  const std::unique_ptr<Ipc::DBusIpcClient> client = connect(command, &exitCode);
  if (client == nullptr) return exitCode;
  switch (command.property.kind) {
    case PropertyCommand::Kind::Get:
      return get(command, *client);
    case PropertyCommand::Kind::Set:
      return set(command, *client);
    case PropertyCommand::Kind::Read:
      return read(command, *client);
    default:
      break;
  }
  return Zemctl::kExitUsage;
}

std::unique_ptr<Ipc::DBusIpcClient> PropertyCommands::connect(const ZemctlCommand& command, int* exitCode) {
  const std::string owned = command.ownedComponent.empty() ? std::string() : "com.olvane." + command.ownedComponent;
  return Zemctl(out_, err_).connect(command, exitCode, owned);
}

int PropertyCommands::exchange(const ZemctlCommand& command, Ipc::DBusIpcClient& client, const std::string& method,
                               const std::string& document, std::string* xml) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcByteFieldParameter>("request", document));
  Ipc::IpcParameterSet answer;
  if (const int rc = Zemctl(out_, err_).call(command, client, "Zem", method, in, &answer); rc != Zemctl::kExitOk) {
    return rc;
  }
  const Ipc::IpcParameter* response = answer.find("response");
  if (response == nullptr || response->getType() != Ipc::IpcParameterType::ByteField) {
    err_ << "zemctl: the answer to " << method << " holds no byte field \"response\"\n";
    return Zemctl::kExitFailed;
  }
  *xml = static_cast<const Ipc::IpcByteFieldParameter*>(response)->getValueAsString();
  return Zemctl::kExitOk;
}

int PropertyCommands::get(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  const PropertyCommand& p = command.property;
  const std::string name = p.names.empty() ? std::string() : p.names[0];
  std::string document;
  try {
    document = PropertyDocuments::request(p.requestKind, name);
  } catch (const std::exception& e) {
    err_ << "zemctl: get: the name cannot be sent: " << e.what() << "\n";
    return Zemctl::kExitUsage;
  }
  std::string xml;
  if (const int rc = exchange(command, client, "ZemPropertyRequest", document, &xml); rc != Zemctl::kExitOk) return rc;
  try {
    const auto result = PropertyDocuments::result(xml);
    if (result->element_value() == nullptr) {
      err_ << "zemctl: the application refused the request" << (name.empty() ? "" : " for " + ResultTree::oneLine(name))
           << " (empty result)\n";
      return Zemctl::kExitFailed;
    }
    out_ << ResultTree::format(*result->element_value());
  } catch (const std::exception& e) {
    err_ << "zemctl: the answer to ZemPropertyRequest is not a result document: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
  return Zemctl::kExitOk;
}

int PropertyCommands::set(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  const PropertyCommand& p = command.property;
  std::string document;
  try {
    document = PropertyDocuments::update(p.names[0], p.valueKind, p.valueText);
  } catch (const std::exception& e) {
    err_ << "zemctl: set: the name or value cannot be sent: " << e.what() << "\n";
    return Zemctl::kExitUsage;
  }
  std::string xml;
  if (const int rc = exchange(command, client, "ZemPropertyUpdate", document, &xml); rc != Zemctl::kExitOk) return rc;
  bool updated = false;
  try {
    const auto result = PropertyDocuments::result(xml);
    const auto* outcome =
        dynamic_cast<const Sarnet_Configuration::Types::PropertyUpdateResult*>(result->element_value());
    if (outcome == nullptr) {
      err_ << "zemctl: the answer to ZemPropertyUpdate holds no update result\n";
      return Zemctl::kExitFailed;
    }
    updated = outcome->get_value();
  } catch (const std::exception& e) {
    err_ << "zemctl: the answer to ZemPropertyUpdate is not a result document: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
  out_ << "result " << (updated ? "true" : "false") << "\n";
  if (!updated) {
    err_ << "zemctl: the application did not update " << ResultTree::oneLine(p.names[0])
         << " (unknown, not this caller's to update, or a value of the wrong kind; its log tells which)\n";
    return Zemctl::kExitFailed;
  }
  return Zemctl::kExitOk;
}

int PropertyCommands::read(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("property", command.property.names[0]));
  Ipc::IpcParameterSet answer;
  const int rc = Zemctl(out_, err_).call(command, client, "SelfDiag", "ReadStringProperty", in, &answer);
  if (rc != Zemctl::kExitOk) return rc;
  const Ipc::IpcParameter* value = answer.find("value");
  if (value == nullptr || value->getType() != Ipc::IpcParameterType::String) {
    err_ << "zemctl: the answer to ReadStringProperty holds no string \"value\"\n";
    return Zemctl::kExitFailed;
  }
  out_ << ResultTree::oneLine(static_cast<const Ipc::IpcStringParameter*>(value)->getValue()) << "\n";
  return Zemctl::kExitOk;
}

int PropertyCommands::monitor(const ZemctlCommand& command) {
  WatchPrinter printer(out_, command.property.count);  // before the client: its threads inherit the signal mask
  int exitCode = Zemctl::kExitOk;
  const std::unique_ptr<Ipc::DBusIpcClient> client = connect(command, &exitCode);
  if (client == nullptr) return exitCode;

  // Monitors are shared by every caller of the application: only the changes of the names given
  // here are printed.
  const std::set<std::string> names(command.property.names.begin(), command.property.names.end());
  std::unique_ptr<Ipc::DBusIpcClient::Subscription> subscription;
  try {
    // Subscribed before the monitors are registered, so that no change after a registration is missed.
    subscription = client->subscribe(command.component, [&](const std::string& signal, const Ipc::IpcParameterSet& p) {
      if (signal != "PropertyValueChanged") return;
      const std::string name = stringParameter(p, "property");
      if (names.count(name) != 0) printer.print(changeLine(name, stringParameter(p, "value")));
    });
  } catch (const std::exception& e) {
    err_ << "zemctl: cannot listen to com.olvane." << command.component << ": " << e.what() << "\n";
    return Zemctl::kExitUnreachable;
  }
  if (const int rc = registerMonitors(command, *client); rc != Zemctl::kExitOk) return rc;
  err_ << "zemctl: monitoring " << names.size() << (names.size() == 1 ? " property" : " properties") << std::endl;
  printer.waitForStop();
  subscription.reset();
  return Zemctl::kExitOk;
}

int PropertyCommands::registerMonitors(const ZemctlCommand& command, Ipc::DBusIpcClient& client) {
  for (const std::string& name : command.property.names) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("property", name));
    Ipc::IpcParameterSet answer;
    const int rc = Zemctl(out_, err_).call(command, client, "Zem", "MonitorProperty", in, &answer);
    if (rc != Zemctl::kExitOk) return rc;
    // 1: no such property; 2: this connection monitors too many already.
    const auto* result = dynamic_cast<const Ipc::IpcIntegerParameter*>(answer.find("result"));
    if (result != nullptr && result->getValue() != 0) {
      err_ << "zemctl: " << name << " cannot be monitored (result " << result->getValue() << ")\n";
      return Zemctl::kExitFailed;
    }
  }
  return Zemctl::kExitOk;
}
