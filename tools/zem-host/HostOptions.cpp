#include "HostOptions.h"

#include <limits.h>
#include <stdlib.h>

#include <memory>

bool HostOptions::parse(const std::vector<std::string>& args, const std::string& defaultPlugin, HostOptions* options,
                        std::string* error) {
  HostOptions result;
  result.pluginPath = defaultPlugin;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      result.help = true;
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
    } else {
      *error = "unknown argument: " + arg;
      return false;
    }
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

std::string HostOptions::usage(const std::string& program) {
  return "usage: " + program + " [--plugin PATH] [--system] [--help]\n"
         "Loads the ZEM application plug-in, serves it as com.olvane.ZEM_APP on D-Bus and runs\n"
         "until SIGTERM or SIGINT, then shuts the application down and exits 0.\n"
         "\n"
         "  --plugin PATH  the plug-in library (default: ../lib/libZem.so beside this program)\n"
         "  --system       use the system bus (the com.olvane.conf policy lets only root own\n"
         "                 com.olvane.* names); the default is the session bus\n"
         "  --help         show this text\n"
         "\n"
         "Environment: ZEM_SYSROOT prefixes every device path (default: the real device root).\n"
         "Exit status: 0 after a clean shutdown, 1 when start-up fails (bus, plug-in or\n"
         "initialisation), 2 for a usage error.\n";
}
