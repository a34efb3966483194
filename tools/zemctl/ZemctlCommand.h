// The command line of zemctl, parsed into one command: global options, the action and its
// arguments. Parsing touches the bus never and the file system only for "ayfile" parameters.
// Thread safety: a plain value type; parse() is reentrant.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "JobCommand.h"
#include "PropertyCommand.h"
#include "kest/ipc/IpcTypes.h"

// "can inject FRAME..." / "can inject -f FILE", "can replay FILE" and
// "can decode --dbc FILE [--signal NAME]... [LOG]" (CanCommands runs them).
struct CanCommand {
  enum class Kind { Inject, Replay, Decode };
  Kind kind = Kind::Inject;
  std::vector<std::string> frames;       // inject: one candump line per argument
  std::string file;                      // inject -f FILE ("-": standard input), replay FILE, decode LOG
  std::string dbcFile;                   // decode --dbc FILE
  std::vector<std::string> signalNames;  // decode --signal NAME: MESSAGE.SIGNAL or SIGNAL; empty: all
};

// "bus update NAME=TYPE:VALUE..." (BusCommands runs it): the bus properties to write by a job.
struct BusCommand {
  struct Entry {
    std::string name;
    PropertyCommand::ValueKind kind = PropertyCommand::ValueKind::String;
    std::string text;  // in its document form (PropertyCommand::parseTypedValue)
  };
  std::vector<Entry> entries;             // in command-line order
  std::string keyFile;                    // --key KEY.pem: signs the container's entries
  std::string taskId;                     // --task-id ID; empty: a fresh id is made up
  std::chrono::milliseconds wait{30000};  // --wait SECONDS for the result package
};

struct ZemctlCommand {
  // ToolVersion is --version (zemctl's own version); Version asks the application for its version.
  enum class Action {
    Help,
    ToolVersion,
    Ping,
    Version,
    LogLevelGet,
    LogLevelSet,
    Call,
    Watch,
    Job,
    Property,
    Can,
    Bus
  };

  Action action = Action::Help;
  bool systemBus = false;                   // --system
  std::chrono::milliseconds timeout{5000};  // --timeout MS, for each call
  std::string component = "ZEM_APP";        // --component NAME
  std::string ownedComponent;               // --as-component NAME: the connection owns com.olvane.NAME
  int64_t level = 0;                        // log-level set N
  std::string interfaceName;                // call: "Zem", "SelfDiag" or a full interface name
  std::string method;                       // call
  Ipc::IpcParameterSet parameters;          // call: the "in" parameters
  uint64_t count = 0;                       // watch --count N; 0 watches until interrupted
  JobCommand job;                           // "job ...", "outbox list", "data ...", "logs ..." (JobCommands)
  PropertyCommand property;                 // get, set, read, monitor (PropertyCommands), config (ConfigCommands)
  CanCommand can;                           // can inject, can replay, can decode
  BusCommand bus;                           // bus update

  // Parses the arguments after the program name. Returns true and fills `command`; returns false
  // with a one-line reason in `error` for a usage error (unknown option or action, missing or
  // malformed value, unreadable "ayfile" parameter).
  static bool parse(const std::vector<std::string>& args, ZemctlCommand* command, std::string* error);
  // Parses one call parameter "NAME=TYPE:VALUE" (TYPE s, x, ay or ayfile, the last reading VALUE
  // as a file path) and adds it to `parameters`. Returns false with the reason in `error`.
  static bool parseParameter(const std::string& argument, Ipc::IpcParameterSet* parameters, std::string* error);
  // The help text.
  static std::string usage();
};
