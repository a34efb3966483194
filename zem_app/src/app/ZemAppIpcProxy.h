// The application's IPC face: registers the application's method servlets with the host's IPC
// service on construction, and reports task status and result packages to the backend adapter.
// Thread safety: construction on the host's main thread; the inherited senders from any thread.
#pragma once

#include "kest/BackendAdapterIpcCommunicator.h"

class ExtensionServices;

class ZemAppIpcProxy : public BackendAdapterIpcCommunicator {
 public:
  // Registers, in this order, the servlets of "ZemPropertyRequest", "ZemPropertyUpdate", "Ping",
  // "MonitorProperty" and "ReadStringProperty" with services.getIpcService(), which takes them
  // over. The last one loads the installed configuration into the property map.
  // REQUIRES: `services` outlives the proxy and offers an IPC service.
  // Throws Ipc::IpcException when the IPC service refuses a registration.
  explicit ZemAppIpcProxy(ExtensionServices& services);
};
