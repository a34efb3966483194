// Runs one zemctl command against a component over D-Bus and prints its outcome.
// Thread safety: run() is called once from the main thread; watch prints from the client's bus
// thread under an internal mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "ZemctlCommand.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {
class DBusIpcClient;
}

class Zemctl {
 public:
  static constexpr int kExitOk = 0;
  static constexpr int kExitUsage = 1;
  static constexpr int kExitUnreachable = 2;  // the service is not running or the bus is unreachable
  static constexpr int kExitFailed = 3;       // the call failed or the application reported a failure

  // `out` takes the results, `err` the error messages. Neither is owned.
  Zemctl(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs `command` and returns one of the exit codes above. Watch blocks SIGINT and SIGTERM in the
  // calling thread and returns kExitOk when one arrives or the count is reached.
  int run(const ZemctlCommand& command);

  // The value as printed by "call": a string or byte field as its bytes, an integer in decimal, a
  // value of a type outside the contract as "(unsupported type SIG)".
  static std::string formatValue(const Ipc::IpcParameter& parameter);
  // One line for a signal: the name, then name=value per parameter in name order; strings as
  // "..." and byte fields as ay"..." with \", \\ and control characters escaped, a value of
  // another type as ?SIG.
  static std::string formatSignal(const std::string& signalName, const Ipc::IpcParameterSet& parameters);
  // The signal that carries a vehicle property's change as a serialised property result.
  static constexpr const char* kVehiclePropertySignal = "ZemVehicleProperty";
  // One line for a ZemVehicleProperty signal: "ZemVehicleProperty NAME = VALUE" read from the
  // property result in its "property" byte field; the raw text, shortened and escaped, when that
  // is no property result; formatSignal's line when the field is absent.
  static std::string formatVehicleProperty(const Ipc::IpcParameterSet& parameters);
  // "INFO" for 4 and so on; "not set" for 255; "unknown" otherwise.
  static std::string logLevelName(int64_t level);

  // Connects to the bus of `command`, owning the bus name `ownedName` when it is not empty.
  // Returns the client; null after printing the reason, with `*exitCode` set to kExitUnreachable
  // (the bus cannot be reached) or kExitFailed (the connection may not own `ownedName`).
  std::unique_ptr<Ipc::DBusIpcClient> connect(const ZemctlCommand& command, int* exitCode,
                                              const std::string& ownedName = std::string());
  // Calls one method of command.component into `answer`, within command.timeout. Returns kExitOk,
  // or prints the reason and returns kExitUnreachable (nobody serves the component) or kExitFailed
  // (any other failure).
  int call(const ZemctlCommand& command, Ipc::DBusIpcClient& client, const std::string& interfaceName,
           const std::string& method, const Ipc::IpcParameterSet& in, Ipc::IpcParameterSet* answer);

 private:
  int watch(const ZemctlCommand& command);
  // Reads an integer out parameter; prints the problem and returns false when it is absent.
  bool integer(const Ipc::IpcParameterSet& answer, const std::string& method, const std::string& name, int64_t* value);
  // The actions on the bus; each returns an exit code and prints its outcome.
  int ping(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int version(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int logLevelGet(const ZemctlCommand& command, Ipc::DBusIpcClient& client);
  int logLevelSet(const ZemctlCommand& command, Ipc::DBusIpcClient& client);

  std::ostream& out_;
  std::ostream& err_;
};
