// The single application object of the plug-in: start-up and shut-down in a fixed order, the
// shared services, the "JobAppeared" listener, and the listener that drops the monitors of callers
// that left the bus.
// Thread safety: initialise() and shutdown() are called by the host's main thread. The members
// are written only by them; the servlets and ipcMessageReceived read them on IPC threads. The host
// may dispatch IPC calls while initialise() runs, so every shared member is written and read under
// membersMutex_ (readers copy the shared pointer and use it outside the lock).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "kest/Application.h"
#include "kest/InitializationStatus.h"
#include "kest/ipc/IpcListener.h"
#include "zem/Export.h"

class ExtensionServices;
class ZemSettings;
class ZemAppIpcProxy;
class ZemTaskExecutionQueue;
class IpcChangeNotification;
class GeoLocationReporter;
class LogCollector;
class ProvisioningAdapterMap;

class ZemApp : public IpcListener, public Ipc::IpcClientListener, public Application {
 public:
  ZemApp();
  ~ZemApp() override;
  ZemApp(const ZemApp&) = delete;
  ZemApp& operator=(const ZemApp&) = delete;

  // Starts the application, in this order: adoptServices, createTaskQueue,
  // installDefaultConfigIfNeeded, the store's load, createProxyAndMap, applyStoredLogLevel,
  // createReporters, offerWaitingContainers; then marks itself initialised and registers its
  // listeners. Exceptions from any step propagate to the host; members already set stay set and
  // the status stays 1. A stored "ZEM.LOGLEVEL" that is not a LogLevelType name logs ERROR and
  // leaves the logger's level as configured; start-up goes on.
  void initialise(std::shared_ptr<ZemSettings> settings, std::shared_ptr<ExtensionServices> services) override;
  // Closes the queue, stops listening, empties the property map and releases the services. The
  // settings and the status stay.
  void shutdown() override;

  // Listener callback for "JobAppeared": queues the announced container, unless it is already
  // queued or running (then the announcement is logged and ignored). Always returns "".
  // Throws std::bad_cast when the message content is not a string.
  std::string ipcMessageReceived(const Ipc::IpcMessageDefinition& definition, const IpcMessage& message) override;

  // Drops the property monitors of the caller that used `connection`. Runs on an IPC transport
  // thread; takes only the monitor table's lock.
  void clientLeft(const std::string& connection) override;

  void registerListeners();
  void unregisterListeners();
  // Makes sure a provisioning configuration is installed, copying the default one when none is or
  // when the installed one fails a usable schema (one the default configuration passes). With the
  // schema missing or unusable the installed configuration is kept and one warning logged.
  void installDefaultConfigIfNeeded() const;

  std::weak_ptr<ExtensionServices> getExtensionServices() const;
  std::weak_ptr<ZemAppIpcProxy> getIpcCommunicator() const;
  std::weak_ptr<ZemTaskExecutionQueue> getTaskQueue() const;
  std::weak_ptr<IpcChangeNotification> getIpcChangeNotification() const;
  // Non-owning; nullptr before initialise().
  ZemSettings* getGlobalSettings() const;
  InitializationStatus* getInitializationStatus() { return &status_; }

  // Rebuilds the property map from the installed configuration (after an install or a delete);
  // an absent file leaves the map empty. Never throws.
  void reloadProvisioningAdapterMap();
  // The serialised IpcMessagePropertyResult answering the request document `request` (see
  // ProvisioningAdapterMap::getXmlPropertyResult); "" while the application holds no map (before
  // initialise() reached the map, after shutdown()).
  std::string getXmlPropertyResult(const std::string& request);

 private:
  // The start-up steps of initialise().
  // Marks the start, clears temporary files left by an earlier run, keeps the settings and services.
  void adoptServices(std::shared_ptr<ZemSettings> settings, std::shared_ptr<ExtensionServices> services);
  // Creates the task queue with the replay history size of the settings (the default without a
  // settings document). Returns it (also kept as taskQueue_).
  std::shared_ptr<ZemTaskExecutionQueue> createTaskQueue(ZemSettings& settings, ExtensionServices* services);
  // Listens for callers leaving the bus, builds the IPC proxy (registering the servlets) and the
  // property map. Returns the map (both kept as members).
  std::shared_ptr<ProvisioningAdapterMap> createProxyAndMap(ExtensionServices& services);
  // Applies the level stored under "ZEM.LOGLEVEL"; an unknown text is logged and ignored.
  static void applyStoredLogLevel(ProvisioningAdapterMap& adapterMap);
  // Creates the change notifier, the geo-location reporter and the log collector.
  void createReporters(const std::shared_ptr<ExtensionServices>& services);
  // Creates the inbox, outbox and certificate folders and queues every container already waiting
  // in the inbox, in listing order.
  static void offerWaitingContainers(ZemTaskExecutionQueue& queue, ExtensionServices* services);

  mutable std::mutex membersMutex_;
  // Members in the order of construction; all guarded by membersMutex_.
  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<ZemAppIpcProxy> ipcProxy_;
  std::shared_ptr<ZemTaskExecutionQueue> taskQueue_;
  std::shared_ptr<IpcChangeNotification> changeNotification_;
  std::shared_ptr<ProvisioningAdapterMap> adapterMap_;
  std::shared_ptr<ZemSettings> settings_;
  std::shared_ptr<GeoLocationReporter> geoLocationReporter_;
  std::shared_ptr<LogCollector> logCollector_;
  InitializationStatus status_;
};

// The one application object, built on first call (thread-safe), destroyed at library unload.
ZEM_EXPORT ZemApp* getApp();

// Plug-in entry points (see kest/Application.h).
extern "C" {
__attribute__((visibility("default"))) Application* zemGetApplication();
__attribute__((visibility("default"))) void* zemCreateSelfDiagnosisProxy(
    const std::weak_ptr<ExtensionServices>* services);
__attribute__((visibility("default"))) void zemDestroySelfDiagnosisProxy(void* proxy);
}
