// zemctl: the command-line client of the ZEM application (see ZemctlCommand::usage()).
#include <iostream>
#include <string>
#include <vector>

#include <log4cplus/loglevel.h>

#include "Zemctl.h"
#include "ZemctlCommand.h"
#include "kest/ApplicationLogger.h"

int main(int argc, char** argv) {
  // The host library logs its own troubles; zemctl reports every failure itself, on stderr.
  ApplicationLogger::logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  ZemctlCommand command;
  std::string error;
  if (!ZemctlCommand::parse(args, &command, &error)) {
    std::cerr << "zemctl: " << error << "\n(zemctl --help shows the commands)\n";
    return Zemctl::kExitUsage;
  }
  return Zemctl(std::cout, std::cerr).run(command);
}
