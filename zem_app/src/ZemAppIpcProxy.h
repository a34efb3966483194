// The application's IPC face: registers the application's method servlets with the host's IPC
// service on construction, and reports task status and result packages to the backend adapter.
// Thread safety: construction on the host's main thread; the inherited senders from any thread.
#pragma once

#include "kest/BackendAdapterIpcCommunicator.h"

class ExtensionServices;

class ZemAppIpcProxy : public BackendAdapterIpcCommunicator {
 public:
  // Registers the servlets with services.getIpcService(), which takes them over.
  // REQUIRES: `services` outlives the proxy and offers an IPC service.
  // Throws Ipc::IpcException when the IPC service refuses a registration.
  explicit ZemAppIpcProxy(ExtensionServices& services);
};
