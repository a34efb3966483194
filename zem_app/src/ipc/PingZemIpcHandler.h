// "Ping": answers the application's initialisation state ("status": 1 initialising, 2 ready).
// Thread safety: stateless; runs on any IPC dispatch thread.
#pragma once

#include "kest/ipc/IpcServlet.h"

class PingZemIpcHandler : public Ipc::IpcMethodServlet {
 public:
  PingZemIpcHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
