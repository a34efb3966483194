// Registers the self-diagnosis servlets ("GetSwVersion", "GetComponentLogLevel",
// "SetComponentLogLevel") with the host's IPC service, which takes them over. Built by the host.
// Thread safety: construct on one thread; holds no state.
#pragma once

#include <memory>

#include "zem/Export.h"

class ExtensionServices;

class ZEM_EXPORT ZemSelfDiagnosisIpcProxy {
 public:
  // Locks `services` and registers the servlets in the order above. When the services are already
  // gone, or offer no IPC service, nothing is registered and an ERROR is logged.
  // Throws Ipc::IpcException when the IPC service refuses a registration.
  explicit ZemSelfDiagnosisIpcProxy(const std::weak_ptr<ExtensionServices>& services);
  virtual ~ZemSelfDiagnosisIpcProxy() = default;
};
