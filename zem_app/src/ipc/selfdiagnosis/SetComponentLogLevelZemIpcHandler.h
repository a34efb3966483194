// "SetComponentLogLevel": applies and persists a log level ("level" in, "result" 0 when saved).
// Thread safety: stateless; runs on any IPC dispatch thread.
#pragma once

#include "kest/ipc/IpcServlet.h"

class SetComponentLogLevelZemIpcHandler : public Ipc::IpcMethodServlet {
 public:
  SetComponentLogLevelZemIpcHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
