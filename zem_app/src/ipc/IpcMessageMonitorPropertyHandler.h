// "MonitorProperty": puts the property named by "property" (string) under monitoring on behalf of
// the caller, so that its changes are announced with "PropertyValueChanged"; answers "result".
// Thread safety: stateless; runs concurrently on any IPC dispatch thread.
#pragma once

#include "kest/ipc/IpcServlet.h"

class IpcMessageMonitorPropertyHandler : public Ipc::IpcMethodServlet {
 public:
  // `services` is not owned and may be null.
  IpcMessageMonitorPropertyHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}

  // Registers the name for the calling connection (ProvisioningAdapterMap::addPropertyMonitor) and
  // adds "result": 0 when it is monitored, 1 when the map holds no such property, 2 when the caller
  // monitors 256 other properties already. The registration lasts until the caller leaves the bus.
  // A missing or mistyped "property" (Ipc::IpcException) is logged as two ERROR lines, no "result"
  // added.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
