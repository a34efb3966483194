// "MonitorProperty": puts the property named by "property" (string) under monitoring, so that its
// changes are announced with "PropertyValueChanged"; always answers "result" 0.
// Thread safety: stateless; runs concurrently on any IPC dispatch thread.
#pragma once

#include <cstddef>

#include "kest/ipc/IpcServlet.h"

class IpcMessageMonitorPropertyHandler : public Ipc::IpcMethodServlet {
 public:
  // Longest name registered. Registrations are never removed, so a caller must not be able to park
  // arbitrarily large names in the monitor table; no configured property name comes near this.
  static constexpr size_t kMaxPropertyNameBytes = 1024;

  // `services` is not owned and may be null.
  IpcMessageMonitorPropertyHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}

  // Registers the name (known to the map or not, once however often) and adds "result" 0; a name
  // longer than kMaxPropertyNameBytes is not registered (one WARN) and still answered 0. A missing
  // or mistyped "property" (Ipc::IpcException) is logged as two ERROR lines, no "result" added.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
