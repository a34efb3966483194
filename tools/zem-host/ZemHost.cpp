#include "ZemHost.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "kest/ApplicationLogger.h"
#include "kest/BusMonitoringService.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/MetaDataService.h"
#include "kest/PlatformService.h"
#include "kest/TaskExecutionQueue.h"
#include "kest/TrustBoundaries.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/ipc/IpcServlet.h"
#include "kest/security/SecurityService.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CandumpReplaySource.h"
#include "kest/vehiclebus/InjectFramesServlet.h"
#include "kest/vehiclebus/SocketCanSource.h"

namespace {

constexpr const char* kBusName = "com.olvane.ZEM_APP";
// After a lost bus the supervisor must see the process gone quickly, whatever the option says.
constexpr std::chrono::milliseconds kBusLostShutdownLimit(1500);

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal"; }

// Ends the process with kExitShutdownOverran if a shutdown overruns `deadline`; disarmed when
// destroyed in time.
class ShutdownWatchdog {
 public:
  explicit ShutdownWatchdog(std::chrono::milliseconds deadline) : deadline_(deadline), thread_([this] { watch(); }) {}
  ~ShutdownWatchdog() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  ShutdownWatchdog(const ShutdownWatchdog&) = delete;
  ShutdownWatchdog& operator=(const ShutdownWatchdog&) = delete;

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wake_.wait_for(lock, deadline_, [this] { return done_; })) {
      ZEM_FATAL("Shutdown did not finish within " << deadline_.count() << " ms; exiting");
      _exit(ZemHost::kExitShutdownOverran);
    }
  }

  const std::chrono::milliseconds deadline_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace

ZemHost::ZemHost(HostOptions options)
    : options_(std::move(options)), mainThread_(pthread_self()), selfDiagnosis_(nullptr, ProxyDeleter{}) {}

ZemHost::~ZemHost() { releaseEverything(); }

void ZemHost::blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool ZemHost::startIpc() {
  try {
    Ipc::DBusIpcService::Options ipcOptions;
    ipcOptions.bus = options_.systemBus ? Ipc::DBusBusType::System : Ipc::DBusBusType::Session;
    // On the bus thread: wakes run()'s wait, which then shuts down and exits with kExitBusLost.
    ipcOptions.onBusLost = [this] {
      busLost_ = true;
      // SIGTERM is blocked and taken by run()'s sigwait: it wakes the wait and ends no thread.
      pthread_kill(mainThread_, SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
    };
    ipc_ = std::make_shared<Ipc::DBusIpcService>(kBusName, ipcOptions);
    ipc_->start();
  } catch (const std::exception& e) {
    ZEM_FATAL("Cannot serve " << kBusName << " on the " << (options_.systemBus ? "system" : "session")
                              << " bus: " << e.what());
    return false;
  }
  Ipc::IpcService::setInstance(ipc_.get());
  ZEM_INFO("Serving " << kBusName << " as " << ipc_->getUniqueName());

  services_ = std::make_shared<ExtensionServices>();
  services_->setIpcService(ipc_);
  // Certificates live in the device's certificate folder; an empty signing slot means a
  // development unit (containers are not signature-checked, one WARN per container).
  services_->setSecurityService(std::make_shared<Security::SecurityService>());
  services_->setMetaDataService(std::make_shared<MetaDataService>(ZEM_SOFTWARE_VERSION));
  services_->setPlatformService(std::make_shared<PlatformService>());
  // The host always has a bus, real or simulated: on the simulated bus apply() restarts no socket
  // and only drops the open transfers.
  services_->setBusMonitoringService(std::make_shared<BusMonitoringService>(
      [this](const std::function<void()>& whileStopped) { return restartCanSources(whileStopped); },
      services_->getBusDispatcher()));
  return true;
}

bool ZemHost::loadPlugin() {
  // The boundaries are fixed before the plug-in's first line runs and never change afterwards.
  TrustBoundaries::set({options_.libraryFolders, options_.logFolders, options_.development});
  std::string error;
  plugin_ = PluginLibrary::open(options_.pluginPath, &error);
  if (plugin_ == nullptr) {
    ZEM_FATAL(error);
    return false;
  }
  application_ = plugin_->getApplication()();
  if (application_ == nullptr) {
    ZEM_FATAL("Plug-in " << plugin_->getPath() << " returned no application");
    return false;
  }
  selfDiagnosis_ = std::unique_ptr<void, ProxyDeleter>(nullptr, ProxyDeleter{plugin_->destroySelfDiagnosisProxy()});
  return true;
}

void ZemHost::registerJobAppearedServlet() {
  const CreateJobAppearedServletFn createServlet = plugin_->createJobAppearedServlet();
  if (createServlet == nullptr) return;
  try {
    std::unique_ptr<Ipc::IpcMethodServlet> servlet(createServlet(services_.get()));
    if (servlet == nullptr) {
      ZEM_ERROR("The application built no JobAppeared servlet");
      return;
    }
    const Ipc::IpcMessageDefinition definition = servlet->getDefinition();
    ipc_->registerServlet(definition, std::move(servlet));
  } catch (const std::exception& e) {
    ZEM_ERROR("Registering the JobAppeared servlet failed: " << e.what());
  }
}

bool ZemHost::startVehicleBus() {
  const std::shared_ptr<VehicleBus::BusDispatcher>& bus = services_->getBusDispatcher();
  if (options_.canInterfaces.empty()) {
    try {
      ipc_->registerServlet(VehicleBus::InjectFramesServlet::definition(),
                            std::make_unique<VehicleBus::InjectFramesServlet>(bus));
    } catch (const std::exception& e) {
      ZEM_FATAL("Cannot serve the simulated bus's InjectFrames: " << e.what());
      return false;
    }
    ZEM_INFO("Simulated vehicle bus " << bus->defaultInterface() << ": frames are taken by InjectFrames");
    return true;
  }
  bus->setInterfaces(options_.canInterfaces);
  for (const std::string& interface : options_.canInterfaces) {
    if (!startFrameSource(std::make_unique<VehicleBus::SocketCanSource>(interface, bus), true)) return false;
  }
  return true;
}

bool ZemHost::startReplays() {
  const std::shared_ptr<VehicleBus::BusDispatcher>& bus = services_->getBusDispatcher();
  for (const std::string& file : options_.canReplayFiles) {
    if (!startFrameSource(std::make_unique<VehicleBus::CandumpReplaySource>(file, bus))) return false;
  }
  return true;
}

bool ZemHost::startFrameSource(std::unique_ptr<VehicleBus::FrameSource> source, bool socket) {
  try {
    source->start();
  } catch (const std::exception& e) {
    ZEM_FATAL(e.what());
    return false;
  }
  const std::lock_guard<std::mutex> lock(sourcesMutex_);
  if (socket) canSources_.push_back(source.get());
  frameSources_.push_back(std::move(source));
  return true;
}

void ZemHost::stopFrameSources() {
  const std::lock_guard<std::mutex> lock(sourcesMutex_);
  sourcesClosed_ = true;
  for (const auto& source : frameSources_) source->stop();
  canSources_.clear();
  frameSources_.clear();
}

std::vector<std::string> ZemHost::restartCanSources(const std::function<void()>& whileStopped) {
  const std::lock_guard<std::mutex> lock(sourcesMutex_);
  if (sourcesClosed_) {
    whileStopped();
    return {};
  }
  if (!canSources_.empty()) ZEM_INFO("Restarting " << canSources_.size() << " CAN interfaces");
  return BusMonitoringService::restartAll(canSources_, whileStopped);
}

bool ZemHost::initialiseApplication() {
  settings_ = std::make_shared<ZemSettings>();
  try {
    application_->initialise(settings_, services_);
    return true;
  } catch (const std::exception& e) {
    ZEM_FATAL("Initialisation of the application failed");
    ZEM_FATAL(e.what());
  } catch (...) {
    ZEM_FATAL("Initialisation of the application failed with an exception of unknown type");
  }
  return false;
}

void ZemHost::buildSelfDiagnosis() {
  const std::weak_ptr<ExtensionServices> weakServices = services_;
  try {
    selfDiagnosis_.reset(plugin_->createSelfDiagnosisProxy()(&weakServices));
  } catch (const std::exception& e) {
    ZEM_ERROR("Building the self-diagnosis proxy failed: " << e.what());
  } catch (...) {
    ZEM_ERROR("Building the self-diagnosis proxy failed with an exception of unknown type");
  }
  if (selfDiagnosis_ == nullptr) ZEM_ERROR("The application serves no self-diagnosis");
}

void ZemHost::startKeepAlive() {
  const std::chrono::microseconds period = SystemdNotifier::watchdogPeriod();
  if (period.count() <= 0) return;
  keepAlive_ = std::make_unique<ServiceWatchdog>(
      notifier_, period, [this](std::chrono::milliseconds timeout) { return whatIsStuck(timeout); });
  ZEM_INFO("The service manager expects a keep-alive every "
           << std::chrono::duration_cast<std::chrono::milliseconds>(period).count()
           << " ms: sent while the daemon makes progress");
}

std::string ZemHost::whatIsStuck(std::chrono::milliseconds timeout) const {
  std::string stuck;
  const auto add = [&stuck](const std::string& what) { stuck += (stuck.empty() ? "" : ", ") + what; };
  const Ipc::DBusIpcService::Progress progress = ipc_->probe(timeout);
  if (!progress.busThread) add("the D-Bus thread");
  if (!progress.dispatchThreads) add("the IPC dispatch threads");
  const std::optional<TaskExecutionQueue::RunningTask> task = TaskExecutionQueue::longestRunningTask();
  if (task && task->elapsed > kStuckTaskLimit)
    add("the task queue (task " + task->id + " running for " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(task->elapsed).count()) + " s)");
  return stuck;
}

bool ZemHost::waitForStop() {
  const sigset_t waitFor = terminationSignals();
  int signal = 0;
  while (sigwait(&waitFor, &signal) != 0) {
  }
  if (busLost_) {
    ZEM_ERROR("Lost the D-Bus connection; shutting down so that zem-host is started anew");
    return true;
  }
  ZEM_INFO("Received " << signalName(signal) << ", shutting down");
  return false;
}

void ZemHost::shutdownApplication() {
  if (application_ == nullptr) return;
  try {
    application_->shutdown();
  } catch (const std::exception& e) {
    ZEM_ERROR("Shutdown of the application failed");
    ZEM_ERROR(e.what());
  } catch (...) {
    ZEM_ERROR("Shutdown of the application failed with an exception of unknown type");
  }
}

void ZemHost::releaseEverything() {
  keepAlive_.reset();  // before ipc_, which it probes
  stopFrameSources();
  selfDiagnosis_.reset();
  if (ipc_ != nullptr) ipc_->stop();
  Ipc::IpcService::setInstance(nullptr);
  services_.reset();
  ipc_.reset();
  settings_.reset();
  application_ = nullptr;
  plugin_.reset();
}

void ZemHost::shutDown(std::chrono::milliseconds deadline, const std::string& status) {
  notifier_.stopping(status);
  const ShutdownWatchdog watchdog(deadline);
  keepAlive_.reset();
  // No frame may reach an application that is shutting down.
  stopFrameSources();
  shutdownApplication();
  releaseEverything();
}

int ZemHost::run() {
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
  notifier_.status("starting");
  ZEM_INFO("zem-host starting: plug-in " << options_.pluginPath << ", " << (options_.systemBus ? "system" : "session")
                                         << " bus, device root " << DevicePaths::deviceRoot());
  // The name is owned before the plug-in loads, so callers reach the application from the start:
  // "Ping" answers while initialise() runs.
  if (!startIpc()) return kExitStartupFailed;
  startKeepAlive();
  // The bus comes up before the plug-in loads: an interface that cannot be read fails the start
  // before any application code has run, and frames can be injected from the start.
  if (!startVehicleBus()) {
    releaseEverything();
    return kExitStartupFailed;
  }

  // The application keeps its settings in the application data folder; on a unit the data
  // partition holds it from the factory, on a fresh sysroot the host lays it out.
  const File dataFolder(DevicePaths::applicationDataFolder());
  if (!dataFolder.mkdirs()) ZEM_WARN("Cannot create the application data folder " << dataFolder.getPath());

  if (!loadPlugin()) {
    releaseEverything();
    return kExitStartupFailed;
  }
  // Registered before initialise() so that the application's listener registration reaches it.
  registerJobAppearedServlet();
  if (!initialiseApplication()) {
    shutDown(options_.shutdownTimeout);
    return kExitStartupFailed;
  }
  buildSelfDiagnosis();
  if (!startReplays()) {
    shutDown(options_.shutdownTimeout);
    return kExitStartupFailed;
  }

  ZEM_INFO("zem-host ready");
  notifier_.ready("ready");
  // Loading the configuration and the database leaves parser buffers freed on the heap: an idle
  // daemon should not keep them resident until its first job.
  malloc_trim(0);
  if (waitForStop()) {
    shutDown(std::min(options_.shutdownTimeout, kBusLostShutdownLimit), "stopping: lost the D-Bus connection");
    return kExitBusLost;
  }
  shutDown(options_.shutdownTimeout);
  ZEM_INFO("zem-host stopped");
  return kExitOk;
}
