#include "app/ZemApp.h"

#include <exception>
#include <memory>
#include <optional>
#include <typeinfo>
#include <utility>

#include "app/ZemAppIpcProxy.h"
#include "app/ZemVersion.h"
#include "database/Database.h"
#include "ipc/IpcDefinitions.h"
#include "ipc/selfdiagnosis/ZemSelfDiagnosisIpcProxy.h"
#include "jobs/ProcessTaskRequest.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/GeoLocationReporter.h"
#include "kest/LogCollector.h"
#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kest/ZemSettings.h"
#include "kest/ipc/IpcService.h"
#include "kolconfig/XSDEnumException.h"
#include "libraries/SharedLibraries.h"
#include "properties/IpcChangeNotification.h"
#include "properties/ProvisioningAdapterMap.h"

ZemApp::ZemApp() { ZEM_INFO("OLVANE ZEM_APP VERSION = " << kZemSoftwareVersion); }

ZemApp::~ZemApp() {
  try {
    ZEM_DEBUG("Closing ZEM...");
  } catch (...) {
  }
}

void ZemApp::initialise(std::shared_ptr<ZemSettings> settings, std::shared_ptr<ExtensionServices> services) {
  adoptServices(settings, services);
  const auto queue = createTaskQueue(*settings, services.get());
  installDefaultConfigIfNeeded();
  Database::getInstance()->load();
  const auto adapterMap = createProxyAndMap(*services);
  applyStoredLogLevel(*adapterMap);
  createReporters(services);
  offerWaitingContainers(*queue, services.get());
  status_.setState(InitializationStatus::kInitialised);
  registerListeners();
}

void ZemApp::adoptServices(std::shared_ptr<ZemSettings> settings, std::shared_ptr<ExtensionServices> services) {
  status_.setState(InitializationStatus::kInitialising);
  TempFile::clearAtStartUp(File(DevicePaths::applicationDataFolder()),
                           {File(DevicePaths::certificateFolder()), File(DevicePaths::dataFolder())},
                           {File(DevicePaths::inboxFolder())});
  std::lock_guard<std::mutex> lock(membersMutex_);
  services_ = std::move(services);
  settings_ = std::move(settings);
}

std::shared_ptr<ZemTaskExecutionQueue> ZemApp::createTaskQueue(ZemSettings& settings, ExtensionServices* services) {
  // The settings document is needed for the queue's replay history. A settings object whose
  // document cannot be produced at all (unrecoverable crash of earlier loads) falls back to the
  // default history size so that the unit still comes up.
  // Read under the settings' lock: an IPC thread may change the document meanwhile.
  settings.ensureLoaded();
  const std::optional<unsigned> storedHistorySize = settings.read([](const auto* document) -> std::optional<unsigned> {
    if (document == nullptr) return std::nullopt;
    return static_cast<unsigned>(document->get_replayHistorySize());
  });
  const unsigned replayHistorySize = storedHistorySize.value_or(ZemSettings::kDefaultReplayHistorySize);
  if (!storedHistorySize) ZEM_WARN("No global settings available, using a replay history of " << replayHistorySize);
  auto queue = std::make_shared<ZemTaskExecutionQueue>(services, replayHistorySize);
  std::lock_guard<std::mutex> lock(membersMutex_);
  taskQueue_ = queue;
  return queue;
}

std::shared_ptr<ProvisioningAdapterMap> ZemApp::createProxyAndMap(ExtensionServices& services) {
  // Before the monitor servlet is served: every caller that registers a monitor is seen leaving.
  if (services.getIpcService() != nullptr) services.getIpcService()->addClientListener(this);
  // Before the first load: the map's CAN sources listen to the host's bus.
  ProvisioningAdapterMap().setBusDispatcher(services.getBusDispatcher());
  // Building the proxy registers the servlets; the read-string servlet loads the installed
  // configuration into the map, so the map below finds its table filled.
  auto proxy = std::make_shared<ZemAppIpcProxy>(services);
  auto adapterMap = std::make_shared<ProvisioningAdapterMap>();
  adapterMap->initialise();
  std::lock_guard<std::mutex> lock(membersMutex_);
  ipcProxy_ = std::move(proxy);
  adapterMap_ = adapterMap;
  return adapterMap;
}

void ZemApp::applyStoredLogLevel(ProvisioningAdapterMap& adapterMap) {
  // An empty or absent level leaves the logger as configured. So does an unknown text (stored
  // before writes were checked, or by hand), after an ERROR: a bad level must never keep the unit
  // from starting, since then no job could ever repair it.
  const std::string logLevel = adapterMap.getPropertyValue(ProvisioningAdapterMap::kLogLevelProperty);
  if (logLevel.empty()) return;
  try {
    const auto level = Sarnet_Configuration::Types::LogLevelType::parse(logLevel);
    ZEM_TRACE("setLogLevel to " << logLevel);
    ApplicationLogger::setLogLevel(level);
  } catch (const XSDEnumException&) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "Unknown log level '" << ApplicationLogger::shortened(logLevel, 64)
                                                                      << "' in "
                                                                      << ProvisioningAdapterMap::kLogLevelProperty
                                                                      << ": the configured level is kept");
  }
}

void ZemApp::createReporters(const std::shared_ptr<ExtensionServices>& services) {
  ZemAppIpcProxy* proxy = nullptr;
  {
    std::lock_guard<std::mutex> lock(membersMutex_);
    proxy = ipcProxy_.get();
  }
  auto notification = std::make_shared<IpcChangeNotification>();
  auto reporter = std::make_shared<GeoLocationReporter>(services, proxy);
  auto collector = std::make_shared<LogCollector>(services, proxy);
  std::lock_guard<std::mutex> lock(membersMutex_);
  changeNotification_ = std::move(notification);
  geoLocationReporter_ = std::move(reporter);
  logCollector_ = std::move(collector);
}

void ZemApp::offerWaitingContainers(ZemTaskExecutionQueue& queue, ExtensionServices* services) {
  File(DevicePaths::inboxFolder()).mkdirs();
  File(DevicePaths::outboxFolder()).mkdirs();
  File(DevicePaths::certificateFolder()).mkdirs();

  // Containers that arrived while the application was down are offered again, in listing order.
  // A refused push is not examined: the container stays for the next start-up.
  for (const File& container : File(DevicePaths::inboxFolder()).listFiles("zip")) {
    ProcessTaskRequest::submit(queue, services, container.getAbsolutePath());
  }
}

void ZemApp::shutdown() {
  std::shared_ptr<ZemTaskExecutionQueue> queue;
  {
    std::lock_guard<std::mutex> lock(membersMutex_);
    queue = std::move(taskQueue_);
  }
  if (queue) queue->close();
  queue.reset();

  unregisterListeners();

  std::shared_ptr<ProvisioningAdapterMap> adapterMap;
  {
    std::lock_guard<std::mutex> lock(membersMutex_);
    geoLocationReporter_.reset();
    logCollector_.reset();
    adapterMap = std::move(adapterMap_);
  }
  // Outside membersMutex_: the map takes its own lock, which a servlet may hold while asking the
  // application for a member.
  if (adapterMap) adapterMap->release();
  adapterMap.reset();

  // The map's vehicle properties are gone: each library now gets releaseAPI and is closed.
  SharedLibraries::clear();

  std::lock_guard<std::mutex> lock(membersMutex_);
  ipcProxy_.reset();
  services_.reset();
  changeNotification_.reset();
}

std::string ZemApp::ipcMessageReceived(const Ipc::IpcMessageDefinition& definition, const IpcMessage& message) {
  const auto& content = dynamic_cast<const IpcStringMessageContent&>(message.getContent());
  ZEM_TRACE("ipcMessageReceived - short sig callback, ipcEvent =" << definition.toString() << " ipcMessage= \""
                                                                  << content.getString() << "\"");
  if (definition == IpcDefinitions::jobAppeared()) {
    std::shared_ptr<ZemTaskExecutionQueue> queue;
    std::shared_ptr<ExtensionServices> services;
    {
      std::lock_guard<std::mutex> lock(membersMutex_);
      queue = taskQueue_;
      services = services_;
    }
    if (queue) {
      // A container already queued or running is not queued again; a refusal (closed queue) is
      // not logged.
      ProcessTaskRequest::submit(*queue, services.get(), content.getString());
    } else {
      ZEM_ERROR("Zem App is attempting to handle requests whilst not being fully initialised!");
    }
  }
  return std::string();
}

void ZemApp::registerListeners() {
  ZEM_INFO("register Listeners");
  std::shared_ptr<ExtensionServices> services = getExtensionServices().lock();
  if (services && services->getIpcService() != nullptr) {
    services->getIpcService()->addListener(IpcDefinitions::jobAppeared(), this);
  }
}

void ZemApp::unregisterListeners() {
  ZEM_INFO("unregister Listeners");
  std::shared_ptr<ExtensionServices> services = getExtensionServices().lock();
  if (services && services->getIpcService() != nullptr) {
    services->getIpcService()->removeListener(IpcDefinitions::jobAppeared(), this);
    services->getIpcService()->removeClientListener(this);
  }
}

void ZemApp::clientLeft(const std::string& connection) { ProvisioningAdapterMap().removePropertyMonitors(connection); }

void ZemApp::installDefaultConfigIfNeeded() const {
  const File installedFolder(DevicePaths::installedConfigFolder());
  const File installed(installedFolder, DevicePaths::kConfigFileName);
  const File defaultFile(File(DevicePaths::defaultConfigFolder()), DevicePaths::kConfigFileName);
  const std::string& schema = DevicePaths::configurationSchema();

  if (installed.exists()) {
    // Without a usable schema nothing can be judged: the installed configuration is kept, as the
    // database is.
    if (!File(schema).exists()) {
      ZEM_WARN("Schema " << schema << " is missing: the installed configuration is kept without validation");
      return;
    }
    const XmlValidatorLibXml2 validator(schema);
    try {
      validator.validate(installed.getAbsolutePath());
      return;
    } catch (const XmlValidationException& e) {
      ZEM_DEBUG("Installed configuration failed validation: " << e.what());
    }
    // A schema that cannot be compiled fails every document, the default too: then the fault is
    // the schema's, not the installed file's.
    try {
      validator.validate(defaultFile.getAbsolutePath());
    } catch (const XmlValidationException& e) {
      ZEM_WARN("Schema " << schema << " is unusable or the default configuration invalid (" << e.what()
                         << "): the installed configuration is kept");
      return;
    }
    ZEM_DEBUG("Current configuration is invalid and will be replaced with the default one: "
              << defaultFile.getAbsolutePath());
  } else {
    installedFolder.mkdirs();
  }
  // The copy replaces an invalid file atomically.
  if (!defaultFile.copyTo(File(installed.getAbsolutePath()))) {
    ZEM_ERROR("Unable to copy " << defaultFile.getAbsolutePath() << " to " << installedFolder.getPath());
  }
}

std::weak_ptr<ExtensionServices> ZemApp::getExtensionServices() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return services_;
}

std::weak_ptr<ZemAppIpcProxy> ZemApp::getIpcCommunicator() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return ipcProxy_;
}

std::weak_ptr<ZemTaskExecutionQueue> ZemApp::getTaskQueue() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return taskQueue_;
}

std::weak_ptr<IpcChangeNotification> ZemApp::getIpcChangeNotification() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return changeNotification_;
}

ZemSettings* ZemApp::getGlobalSettings() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return settings_.get();
}

void ZemApp::reloadProvisioningAdapterMap() { ProvisioningAdapterMap().reloadConfig(); }

std::string ZemApp::getXmlPropertyResult(const std::string& request) {
  std::shared_ptr<ProvisioningAdapterMap> adapterMap;
  {
    std::lock_guard<std::mutex> lock(membersMutex_);
    adapterMap = adapterMap_;
  }
  return adapterMap ? adapterMap->getXmlPropertyResult(request) : std::string();
}

ZemApp* getApp() {
  static ZemApp app;
  return &app;
}

extern "C" Application* zemGetApplication() { return getApp(); }

extern "C" void* zemCreateSelfDiagnosisProxy(const std::weak_ptr<ExtensionServices>* services) {
  if (services == nullptr) return nullptr;
  try {
    // Ownership crosses the plug-in boundary as an opaque pointer; zemDestroySelfDiagnosisProxy
    // takes it back.
    return new ZemSelfDiagnosisIpcProxy(*services);
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to build the self-diagnosis proxy: " << e.what());
    return nullptr;
  }
}

extern "C" void zemDestroySelfDiagnosisProxy(void* proxy) { delete static_cast<ZemSelfDiagnosisIpcProxy*>(proxy); }
