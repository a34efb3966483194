// Runs the vehicle-bus commands of zemctl: "can inject" sends candump lines to the simulated bus
// in one InjectFrames call; "can replay" sends a candump log's frames as its time stamps say,
// frames due within a millisecond of each other in one call; "can decode" decodes a candump log
// with a DBC file's signals, without a bus.
// Thread safety: run() is called once from the main thread.
#pragma once

#include <memory>
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
class FrameDecoder;
}  // namespace VehicleBus

class CanCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  CanCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs command.can. Returns an exit code of Zemctl: kExitOk (inject prints "accepted N", replay
  // "replayed N", decode its frames; decode reports a bad line on `err` as "LOG:LINE: reason" and
  // goes on); kExitUsage (an unreadable file, a line that does not parse, a DBC file that does not
  // parse, reported as "FILE:LINE: reason"); kExitUnreachable (no bus, nobody serves the
  // component); kExitFailed (the call was refused, e.g. with --can; the log could not be read on).
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
  int decode(const CanCommand& command);
  // The decoder of the signals of command.dbcFile that command.signalNames choose, the signals left
  // out listed on `err_`. Null after printing the reason (an unreadable or bad file, a name that
  // chooses nothing).
  std::unique_ptr<VehicleBus::FrameDecoder> loadDecoder(const CanCommand& command);

  std::ostream& out_;
  std::ostream& err_;
};
