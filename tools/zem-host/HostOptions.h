// Command-line options of zem-host and their parsing.
// Thread safety: a plain value type; parse() and defaultPluginPath() are reentrant.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct HostOptions {
  std::string pluginPath;  // the plug-in to load; defaultPluginPath() unless --plugin was given
  bool systemBus = false;  // --system: serve on the system bus instead of the session bus
  bool help = false;       // --help: print the usage and exit
  bool version = false;    // --version: print versionText() and exit
  // --shutdown-timeout MS: a shutdown still running after this long ends the process (status 4).
  std::chrono::milliseconds shutdownTimeout{5000};
  // --can IFACE (repeatable): read these SocketCAN interfaces; empty runs the simulated bus.
  std::vector<std::string> canInterfaces;
  // --can-replay FILE (repeatable, simulated bus only): candump logs replayed after initialise().
  std::vector<std::string> canReplayFiles;
  // --library-dir DIR (repeatable): folders besides <device root>/usr/lib/zem from which
  // library-call and vehicle-property libraries may be loaded.
  std::vector<std::string> libraryFolders;
  // --log-dir DIR (repeatable): folders besides the unit's log folder and the application folder
  // from which a log-files request may collect files.
  std::vector<std::string> logFolders;
  // --development: a unit without a signing slot runs unsigned containers (one WARN each)
  // instead of refusing them.
  bool development = false;

  // Parses the arguments after the program name. Returns true and fills `options` on success;
  // returns false with a one-line reason in `error` for an unknown option, a missing value, a stray
  // argument, an invalid interface name or --can-replay given with --can. `defaultPlugin` is used when --plugin is
  // absent.
  static bool parse(const std::vector<std::string>& args, const std::string& defaultPlugin, HostOptions* options,
                    std::string* error);
  // "../lib/libZem.so" next to the folder of the running executable, taken from /proc/self/exe with
  // links resolved, so the same binary finds its plug-in in the build tree and in an installed
  // prefix. Falls back to "libZem.so" (the loader's search path) when the executable is unknown.
  static std::string defaultPluginPath();
  // The usage text printed by --help.
  static std::string usage(const std::string& program);
  // The line printed by --version: "zem-host " and the software version, e.g. "zem-host 19.22.3\n".
  static std::string versionText();
};
