#include "ZemHost.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "PluginLibrary.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/MetaDataService.h"
#include "kest/ZemSettings.h"
#include "kest/security/SecurityService.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/ipc/IpcServlet.h"

namespace {

constexpr const char* kBusName = "com.olvane.ZEM_APP";
// A shutdown that has not finished by then is cut short: the supervisor expects the process gone.
constexpr std::chrono::seconds kShutdownDeadline(10);

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal"; }

// Ends the process if a shutdown overruns kShutdownDeadline; disarmed when destroyed in time.
class ShutdownWatchdog {
 public:
  ShutdownWatchdog() : thread_([this] { watch(); }) {}
  ~ShutdownWatchdog() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wake_.wait_for(lock, kShutdownDeadline, [this] { return done_; })) {
      ZEM_FATAL("Shutdown did not finish within " << kShutdownDeadline.count() << " s; exiting");
      _exit(ZemHost::kExitStartupFailed);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Releases the plug-in's self-diagnosis proxy through the plug-in's own destroy entry point.
struct ProxyDeleter {
  DestroySelfDiagnosisProxyFn destroy = nullptr;
  void operator()(void* proxy) const {
    if (proxy != nullptr && destroy != nullptr) destroy(proxy);
  }
};
using ProxyPtr = std::unique_ptr<void, ProxyDeleter>;

}  // namespace

void ZemHost::blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int ZemHost::run() {
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
  ZEM_INFO("zem-host starting: plug-in " << options_.pluginPath << ", " << (options_.systemBus ? "system" : "session")
                                         << " bus, device root " << DevicePaths::deviceRoot());

  // Declared first so it is closed last: everything built from the plug-in's code (the servlets in
  // the IPC service, the proxy, the application's members) is gone before the library unloads.
  std::unique_ptr<PluginLibrary> plugin;

  // The name is owned before the plug-in loads, so callers reach the application from the start:
  // "Ping" answers while initialise() runs.
  std::shared_ptr<Ipc::DBusIpcService> ipc;
  try {
    Ipc::DBusIpcService::Options ipcOptions;
    ipcOptions.bus = options_.systemBus ? Ipc::DBusBusType::System : Ipc::DBusBusType::Session;
    ipc = std::make_shared<Ipc::DBusIpcService>(kBusName, ipcOptions);
    ipc->start();
  } catch (const std::exception& e) {
    ZEM_FATAL("Cannot serve " << kBusName << " on the " << (options_.systemBus ? "system" : "session")
                              << " bus: " << e.what());
    return kExitStartupFailed;
  }
  Ipc::IpcService::setInstance(ipc.get());
  ZEM_INFO("Serving " << kBusName << " as " << ipc->getUniqueName());

  auto services = std::make_shared<ExtensionServices>();
  services->setIpcService(ipc);
  // Certificates live in the device's certificate folder; an empty signing slot means a
  // development unit (containers are not signature-checked, one WARN per container).
  services->setSecurityService(std::make_shared<Security::SecurityService>());
  services->setMetaDataService(std::make_shared<MetaDataService>(ZEM_SOFTWARE_VERSION));

  // Stops serving and releases every host service; the order matters, see `plugin` above.
  auto releaseServices = [&]() {
    ipc->stop();
    Ipc::IpcService::setInstance(nullptr);
    services.reset();
    ipc.reset();
  };

  // The application keeps its settings in the application data folder; on a unit the data
  // partition holds it from the factory, on a fresh sysroot the host lays it out.
  const File dataFolder(DevicePaths::applicationDataFolder());
  if (!dataFolder.mkdirs()) ZEM_WARN("Cannot create the application data folder " << dataFolder.getPath());

  std::string error;
  plugin = PluginLibrary::open(options_.pluginPath, &error);
  if (plugin == nullptr) {
    ZEM_FATAL(error);
    releaseServices();
    return kExitStartupFailed;
  }
  Application* application = plugin->getApplication()();
  if (application == nullptr) {
    ZEM_FATAL("Plug-in " << plugin->getPath() << " returned no application");
    releaseServices();
    return kExitStartupFailed;
  }

  // The job announcement is served by the plug-in's servlet; it is registered before initialise()
  // so that the application's listener registration reaches it.
  if (CreateJobAppearedServletFn createServlet = plugin->createJobAppearedServlet()) {
    try {
      std::unique_ptr<Ipc::IpcMethodServlet> servlet(createServlet(services.get()));
      if (servlet == nullptr) {
        ZEM_ERROR("The application built no JobAppeared servlet");
      } else {
        const Ipc::IpcMessageDefinition definition = servlet->getDefinition();
        ipc->registerServlet(definition, std::move(servlet));
      }
    } catch (const std::exception& e) {
      ZEM_ERROR("Registering the JobAppeared servlet failed: " << e.what());
    }
  }

  auto settings = std::make_shared<ZemSettings>();
  bool initialised = false;
  try {
    application->initialise(settings, services);
    initialised = true;
  } catch (const std::exception& e) {
    ZEM_FATAL("Initialisation of the application failed");
    ZEM_FATAL(e.what());
  } catch (...) {
    ZEM_FATAL("Initialisation of the application failed with an exception of unknown type");
  }

  // Calls shutdown(), which an application must tolerate after a failed initialise(): whatever it
  // had started (threads, listeners) stops before the host's services go away.
  auto shutdownApplication = [&]() {
    try {
      application->shutdown();
    } catch (const std::exception& e) {
      ZEM_ERROR("Shutdown of the application failed");
      ZEM_ERROR(e.what());
    } catch (...) {
      ZEM_ERROR("Shutdown of the application failed with an exception of unknown type");
    }
  };

  if (!initialised) {
    ShutdownWatchdog watchdog;
    shutdownApplication();
    releaseServices();
    return kExitStartupFailed;
  }

  ProxyPtr selfDiagnosis(nullptr, ProxyDeleter{plugin->destroySelfDiagnosisProxy()});
  {
    const std::weak_ptr<ExtensionServices> weakServices = services;
    try {
      selfDiagnosis.reset(plugin->createSelfDiagnosisProxy()(&weakServices));
    } catch (const std::exception& e) {
      ZEM_ERROR("Building the self-diagnosis proxy failed: " << e.what());
    } catch (...) {
      ZEM_ERROR("Building the self-diagnosis proxy failed with an exception of unknown type");
    }
    if (selfDiagnosis == nullptr) ZEM_ERROR("The application serves no self-diagnosis");
  }

  ZEM_INFO("zem-host ready");
  const sigset_t waitFor = terminationSignals();
  int signal = 0;
  while (sigwait(&waitFor, &signal) != 0) {
  }
  ZEM_INFO("Received " << signalName(signal) << ", shutting down");

  {
    ShutdownWatchdog watchdog;
    shutdownApplication();
    selfDiagnosis.reset();
    releaseServices();
    settings.reset();
    plugin.reset();
  }
  ZEM_INFO("zem-host stopped");
  return kExitOk;
}
