// The daemon that plays the host of the application plug-in: it configures logging, owns the
// application's D-Bus name from the start, loads the plug-in, initialises the application, builds
// its self-diagnosis proxy, serves until SIGTERM or SIGINT (or until the bus connection is lost)
// and then shuts everything down in order, under a watchdog. It tells the service manager how it
// does (see run()).
// Thread safety: run() is called once, from the main thread; every member is touched by that
// thread only, except busLost_ and mainThread_, which the bus thread reads when the bus goes away,
// the frame sources, which the bus monitoring service restarts from the application's task
// thread (sourcesMutex_ guards frameSources_, canSources_ and sourcesClosed_), and ipc_, which the
// keep-alive thread probes: ipc_ is set before keepAlive_ starts and reset only after it stopped.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostOptions.h"
#include "PluginLibrary.h"
#include "ServiceWatchdog.h"
#include "SystemdNotifier.h"
#include "kest/ZemSettings.h"

class ExtensionServices;
namespace Ipc {
class DBusIpcService;
}
namespace VehicleBus {
class FrameSource;
}

class ZemHost {
 public:
  // Exit codes of run().
  static constexpr int kExitOk = 0;
  static constexpr int kExitStartupFailed = 1;
  static constexpr int kExitBusLost = 3;
  static constexpr int kExitShutdownOverran = 4;
  // A task of the application's queue that has run this long counts as stuck. The longest
  // legitimate tasks (a log collection, a KMS exchange of 10 s at most per request) end within
  // seconds; the bound is far above them, so that a slow unit never loses a job to a restart.
  static constexpr std::chrono::minutes kStuckTaskLimit{10};

  explicit ZemHost(HostOptions options);
  ~ZemHost();

  // Blocks SIGTERM and SIGINT in the calling thread, so that every thread started later inherits
  // the mask and the signals are taken only by run()'s wait. Call before any thread exists.
  static void blockTerminationSignals();

  // Runs the host until a termination signal (see kest/Application.h for the plug-in side).
  // Returns kExitOk after a clean shutdown; kExitStartupFailed (logged at FATAL) when the bus
  // cannot be reached, the name is taken, the plug-in cannot be loaded, initialise() throws or a
  // frame source (--can, --can-replay) cannot start; frame sources stop before shutdown() runs;
  // kExitBusLost when the bus connection broke, so that a supervisor starts a fresh host. A
  // shutdown that overruns the option's timeout ends the process with kExitShutdownOverran.
  // Under a service manager (NOTIFY_SOCKET) it sends "STATUS=starting" at start, "READY=1" once
  // initialise() has returned (Ping answers 2 from then on) and "STOPPING=1" when a shutdown
  // begins. When the manager expects a watchdog keep-alive (WATCHDOG_USEC), a ServiceWatchdog sends
  // it from the moment the bus name is owned until the shutdown begins, while the D-Bus thread and
  // the IPC dispatch threads answer a probe and no task of the application's queue has run longer
  // than kStuckTaskLimit.
  // REQUIRES: blockTerminationSignals() was called before any thread was started.
  int run();

 private:
  struct ProxyDeleter {
    DestroySelfDiagnosisProxyFn destroy = nullptr;
    void operator()(void* proxy) const {
      if (proxy != nullptr && destroy != nullptr) destroy(proxy);
    }
  };

  // Owns the bus name and starts serving. Returns false (logged at FATAL) on failure.
  bool startIpc();
  // Loads the plug-in and fetches its application. Returns false (logged at FATAL) on failure.
  bool loadPlugin();
  // Serves the plug-in's job announcement servlet, when it has one; failures are logged.
  void registerJobAppearedServlet();
  // Names the --can interfaces to the vehicle bus and starts their sources, or, for the simulated
  // bus, serves InjectFrames. Returns false (logged at FATAL) when a source cannot start.
  bool startVehicleBus();
  // Starts the --can-replay sources. Returns false (logged at FATAL) when a log is refused.
  bool startReplays();
  // Starts `source` and keeps it until stopFrameSources(). Returns false (logged at FATAL) when it
  // cannot start.
  // `socket` marks a --can source, which the bus monitoring service restarts.
  bool startFrameSource(std::unique_ptr<VehicleBus::FrameSource> source, bool socket = false);
  // Stops every frame source, so that no frame reaches the application any more; a later restart
  // by the bus monitoring service does nothing.
  void stopFrameSources();
  // The bus monitoring service's restart: the --can sockets are stopped, `whileStopped` runs, and
  // they are started again (a reconfigured interface is read anew). Replays are not restarted: a
  // log is played once. Returns the reason of each socket that could not start again.
  std::vector<std::string> restartCanSources(const std::function<void()>& whileStopped);
  // Calls initialise(). Returns false (logged at FATAL) when it throws.
  bool initialiseApplication();
  // Builds the plug-in's self-diagnosis proxy; failures are logged.
  void buildSelfDiagnosis();
  // Starts keepAlive_ when the service manager expects a keep-alive.
  void startKeepAlive();
  // The keep-alive thread's check: what made no progress within `timeout`, empty when nothing.
  std::string whatIsStuck(std::chrono::milliseconds timeout) const;
  // Waits for SIGTERM, SIGINT or the loss of the bus. Returns true when the bus was lost.
  bool waitForStop();
  // Calls shutdown(), which an application must tolerate after a failed initialise(); its
  // exceptions are logged.
  void shutdownApplication();
  // Stops serving and releases the proxy, the services and the plug-in, in that order.
  void releaseEverything();
  // Tells the service manager that the daemon stops (with `status`), stops the keep-alive and the
  // frame sources, shuts the application down and releases everything, all within `deadline` (the
  // watchdog ends the process with kExitShutdownOverran after it).
  void shutDown(std::chrono::milliseconds deadline, const std::string& status = "stopping");

  const HostOptions options_;
  const pthread_t mainThread_;
  std::atomic<bool> busLost_{false};
  // Declared first so it is closed last: everything built from the plug-in's code (the servlets in
  // the IPC service, the proxy, the application's members) is gone before the library unloads.
  std::unique_ptr<PluginLibrary> plugin_;
  Application* application_ = nullptr;  // owned by the plug-in
  std::shared_ptr<Ipc::DBusIpcService> ipc_;
  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<ZemSettings> settings_;
  std::unique_ptr<void, ProxyDeleter> selfDiagnosis_;
  const SystemdNotifier notifier_;
  std::unique_ptr<ServiceWatchdog> keepAlive_;  // while the manager expects keep-alives
  std::mutex sourcesMutex_;
  std::vector<std::unique_ptr<VehicleBus::FrameSource>> frameSources_;  // guarded by sourcesMutex_
  std::vector<VehicleBus::FrameSource*> canSources_;  // the --can sockets of frameSources_; guarded by sourcesMutex_
  bool sourcesClosed_ = false;                        // stopFrameSources() ran; guarded by sourcesMutex_
};
