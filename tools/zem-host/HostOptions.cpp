#include "HostOptions.h"

#include <limits.h>
#include <stdlib.h>

#include <memory>

#include "kest/vehiclebus/SocketCanSource.h"

namespace {

// Accepts only plain decimal digits, 1 to 3600000.
bool parseMilliseconds(const std::string& text, std::chrono::milliseconds* out) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long value = std::stol(text);
  if (value < 1 || value > 3600000) return false;
  *out = std::chrono::milliseconds(value);
  return true;
}

}  // namespace

bool HostOptions::parse(const std::vector<std::string>& args, const std::string& defaultPlugin, HostOptions* options,
                        std::string* error) {
  HostOptions result;
  result.pluginPath = defaultPlugin;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      (arg == "--version" ? result.version : result.help) = true;
    } else if (arg == "--system") {
      result.systemBus = true;
    } else if (arg == "--plugin") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = "--plugin needs the path of the plug-in library";
        return false;
      }
      result.pluginPath = args[++i];
    } else if (arg.rfind("--plugin=", 0) == 0) {
      result.pluginPath = arg.substr(9);
      if (result.pluginPath.empty()) {
        *error = "--plugin needs the path of the plug-in library";
        return false;
      }
    } else if (arg == "--shutdown-timeout") {
      if (i + 1 >= args.size() || !parseMilliseconds(args[i + 1], &result.shutdownTimeout)) {
        *error = "--shutdown-timeout needs a number of milliseconds from 1 to 3600000";
        return false;
      }
      ++i;
    } else if (arg == "--can") {
      if (i + 1 >= args.size() || !VehicleBus::SocketCanSource::isValidInterfaceName(args[i + 1])) {
        *error = "--can needs an interface name of 1 to 15 characters [A-Za-z0-9_.-]";
        return false;
      }
      result.canInterfaces.push_back(args[++i]);
    } else if (arg == "--can-replay") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = "--can-replay needs the path of a candump log";
        return false;
      }
      result.canReplayFiles.push_back(args[++i]);
    } else if (arg == "--library-dir" || arg == "--log-dir") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = arg + " needs the path of a folder";
        return false;
      }
      (arg == "--library-dir" ? result.libraryFolders : result.logFolders).push_back(args[++i]);
    } else if (arg == "--development") {
      result.development = true;
    } else {
      *error = "unknown argument: " + arg;
      return false;
    }
  }
  if (!result.canInterfaces.empty() && !result.canReplayFiles.empty()) {
    *error = "--can-replay feeds the simulated bus and cannot go with --can";
    return false;
  }
  *options = std::move(result);
  return true;
}

std::string HostOptions::defaultPluginPath() {
  std::unique_ptr<char, decltype(&free)> exe(realpath("/proc/self/exe", nullptr), &free);
  if (exe == nullptr) return "libZem.so";
  std::string path(exe.get());
  const std::string::size_type slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  return folder + "/../lib/libZem.so";
}

std::string HostOptions::versionText() { return std::string("zem-host ") + ZEM_SOFTWARE_VERSION + "\n"; }

std::string HostOptions::usage(const std::string& program) {
  return "usage: " + program +
         " [--plugin PATH] [--system] [--shutdown-timeout MS]\n"
         "       [--can IFACE]... [--can-replay FILE]... [--library-dir DIR]...\n"
         "       [--log-dir DIR]... [--development] [--version] [--help]\n"
         "Loads the ZEM application plug-in, serves it as com.olvane.ZEM_APP on D-Bus and runs\n"
         "until SIGTERM or SIGINT, then shuts the application down and exits 0.\n"
         "\n"
         "  --plugin PATH  the plug-in library (default: ../lib/libZem.so beside this program)\n"
         "  --system       use the system bus (the com.olvane.conf policy lets only root own\n"
         "                 com.olvane.* names); the default is the session bus\n"
         "  --shutdown-timeout MS  end the process (status 4) when the application's shutdown\n"
         "                 has not finished after MS milliseconds (default 5000)\n"
         "  --can IFACE    read CAN frames from the SocketCAN interface IFACE (repeatable; the\n"
         "                 first is the default interface of signals naming none)\n"
         "  --can-replay FILE  without --can: replay the candump log FILE onto the simulated bus,\n"
         "                 honouring its time stamps (repeatable)\n"
         "  --library-dir DIR  also load library-call and vehicle-property libraries from DIR\n"
         "                 (repeatable; <device root>/usr/lib/zem always counts)\n"
         "  --log-dir DIR  also let log-files requests collect files below DIR (repeatable; the\n"
         "                 unit's log folder and the application folder always count)\n"
         "  --development  run unsigned containers when the unit has no signing slot (one WARN\n"
         "                 each); without it such a unit refuses every container\n"
         "  --version      print the software version and exit\n"
         "  --help         show this text\n"
         "\n"
         "Without --can the vehicle bus is simulated: interface sim0, fed by --can-replay and by\n"
         "InjectFrames (object /com/olvane/VehicleBus, interface com.olvane.VehicleBus), e.g.\n"
         "zemctl can inject 18FEF100#00FF. With --can, InjectFrames is not served.\n"
         "\n"
         "Environment: ZEM_SYSROOT prefixes every device path (default: the real device root).\n"
         "Exit status: 0 after a clean shutdown, 1 when start-up fails (bus, plug-in,\n"
         "initialisation or a frame source), 2 for a usage error, 3 when the D-Bus connection is lost, 4 when\n"
         "the shutdown overran its timeout.\n";
}
