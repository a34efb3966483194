// Runs the vehicle-bus commands of zemctl: "can inject" sends candump lines to the simulated bus
// in one InjectFrames call; "can replay" sends a candump log's frames as its time stamps say,
// frames due within a millisecond of each other in one call.
// Thread safety: run() is called once from the main thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ZemctlCommand.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {
class DBusIpcService;
}
namespace VehicleBus {
struct ParsedFrame;
}

class CanCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  CanCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs command.can. Returns an exit code of Zemctl: kExitOk (inject prints "accepted N", replay
  // "replayed N"); kExitUsage (an unreadable file, a line that does not parse); kExitUnreachable (no
  // bus, nobody serves the component); kExitFailed (the call was refused, e.g. with --can).
  // REQUIRES: command.action == ZemctlCommand::Action::Can.
  int run(const ZemctlCommand& command);

  // The candump line of `frame` without its time stamp: "[IFACE ]ID#DATA" (or "ID#R").
  static std::string format(const VehicleBus::ParsedFrame& frame);

 private:
  // Reads the text of `path` ("-" for standard input) into `text`, at most the size one
  // InjectFrames call may carry. Prints the reason and returns false on failure.
  bool readText(const std::string& path, std::string* text);
  // One InjectFrames call; `accepted` gets the count taken. Returns an exit code.
  int inject(const ZemctlCommand& command, Ipc::DBusIpcService& client, const std::string& frames, int64_t* accepted);
  int replay(const ZemctlCommand& command, Ipc::DBusIpcService& client);

  std::ostream& out_;
  std::ostream& err_;
};
