// Runs the property commands of zemctl on the bus: "get" (ZemPropertyRequest), "set"
// (ZemPropertyUpdate), "read" (ReadStringProperty) and "monitor" (MonitorProperty, then the
// PropertyValueChanged signals). With --as-component the connection owns com.olvane.NAME, so the
// application sees the calls coming from component NAME (the bus policy decides who may).
// Thread safety: run() is called once from the main thread; monitor prints from the client's bus
// thread under an internal mutex.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "ZemctlCommand.h"

namespace Ipc {
class DBusIpcClient;
}

class PropertyCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  PropertyCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs `command.property` (get, set, read or monitor). Returns an exit code of Zemctl: kExitOk;
  // kExitUsage (a name or value that no document can carry); kExitUnreachable (no bus, nobody
  // serves the component); kExitFailed (refused request or update, malformed answer, the
  // connection may not own the component name). Monitor blocks SIGINT and SIGTERM in the calling
  // thread and returns kExitOk when one arrives or the count is reached.
  // REQUIRES: command.action == ZemctlCommand::Action::Property, property.kind one of the four.
  int run(const ZemctlCommand& command);

  // One line of a change as monitor prints it: "NAME = VALUE", control characters and
  // backslashes escaped as "get" and "read" print them.
  static std::string changeLine(const std::string& name, const std::string& value);

 private:
  // Connects (owning com.olvane.<ownedComponent> when asked). Null after printing the reason.
  std::unique_ptr<Ipc::DBusIpcClient> connect(const ZemctlCommand& command, int* exitCode);
  // Sends `document` as "request" of `method` and reads the "response" document into `xml`.
  int exchange(const ZemctlCommand& command, Ipc::DBusIpcClient& client, const std::string& method,
               const std::string& document, std::string* xml);
  int get(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int set(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int read(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int monitor(const ZemctlCommand& command);
  // Asks the application to monitor each of command.property.names. Returns kExitOk; otherwise
  // the exit code after printing the reason (kExitFailed: a name that cannot be monitored).
  int registerMonitors(const ZemctlCommand& command, Ipc::DBusIpcClient& client);

  std::ostream& out_;
  std::ostream& err_;
};
