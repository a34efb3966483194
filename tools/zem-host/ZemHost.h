// The daemon that plays the host of the application plug-in: it configures logging, owns the
// application's D-Bus name from the start, loads the plug-in, initialises the application, builds
// its self-diagnosis proxy, serves until SIGTERM or SIGINT and then shuts everything down in order.
// Thread safety: run() is called once, from the main thread.
#pragma once

#include <csignal>

#include "HostOptions.h"

class ZemHost {
 public:
  // Exit codes of run().
  static constexpr int kExitOk = 0;
  static constexpr int kExitStartupFailed = 1;

  explicit ZemHost(HostOptions options) : options_(std::move(options)) {}

  // Blocks SIGTERM and SIGINT in the calling thread, so that every thread started later inherits
  // the mask and the signals are taken only by run()'s wait. Call before any thread exists.
  static void blockTerminationSignals();

  // Runs the host until a termination signal (see kest/Application.h for the plug-in side).
  // Returns kExitOk after a clean shutdown; kExitStartupFailed (logged at FATAL) when the bus
  // cannot be reached, the name is taken, the plug-in cannot be loaded or initialise() throws.
  // REQUIRES: blockTerminationSignals() was called before any thread was started.
  int run();

 private:
  HostOptions options_;
};
