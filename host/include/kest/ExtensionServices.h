// The bundle of host services handed to the application. Owns the services it was built with and
// the host's vehicle bus (one BusDispatcher, created with the bundle, shared with its users).
// Thread safety: the getters may be called from any thread; the services synchronise themselves.
#pragma once

#include <memory>

#include "kest/Export.h"

namespace Ipc {
class IpcService;
}
namespace Security {
class SecurityService;
}
class MetaDataService;
class PlatformService;
class BusMonitoringService;
namespace VehicleBus {
class BusDispatcher;
}

class KEST_EXPORT ExtensionServices {
 public:
  // Creates the bundle's BusDispatcher; every other service starts empty.
  ExtensionServices();
  virtual ~ExtensionServices();
  ExtensionServices(const ExtensionServices&) = delete;
  ExtensionServices& operator=(const ExtensionServices&) = delete;

  // Each returns a non-owning pointer, or nullptr when the unit offers no such service.
  virtual Ipc::IpcService* getIpcService() const { return ipc_.get(); }
  virtual Security::SecurityService* getSecurityService() const { return security_.get(); }
  virtual MetaDataService* getMetaDataService() const { return metaData_.get(); }
  virtual PlatformService* getPlatformService() const { return platform_.get(); }
  virtual BusMonitoringService* getBusMonitoringService() const { return busMonitoring_.get(); }
  // The host's vehicle bus, never null; shared with every frame source and signal built on it.
  const std::shared_ptr<VehicleBus::BusDispatcher>& getBusDispatcher() const { return busDispatcher_; }

  // Setters used by the host while it assembles the bundle (before handing it out).
  void setIpcService(std::shared_ptr<Ipc::IpcService> s) { ipc_ = std::move(s); }
  void setSecurityService(std::shared_ptr<Security::SecurityService> s) { security_ = std::move(s); }
  void setMetaDataService(std::shared_ptr<MetaDataService> s) { metaData_ = std::move(s); }
  void setPlatformService(std::shared_ptr<PlatformService> s) { platform_ = std::move(s); }
  void setBusMonitoringService(std::shared_ptr<BusMonitoringService> s) { busMonitoring_ = std::move(s); }

 private:
  std::shared_ptr<Ipc::IpcService> ipc_;
  std::shared_ptr<Security::SecurityService> security_;
  std::shared_ptr<MetaDataService> metaData_;
  std::shared_ptr<PlatformService> platform_;
  std::shared_ptr<BusMonitoringService> busMonitoring_;
  const std::shared_ptr<VehicleBus::BusDispatcher> busDispatcher_;
};
