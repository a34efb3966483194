// "GetComponentLogLevel": the persisted log level number ("level"), 255 when none is stored.
// Thread safety: stateless; runs on any IPC dispatch thread.
#pragma once

#include "kest/ipc/IpcServlet.h"

class GetComponentLogLevelZemIpcHandler : public Ipc::IpcMethodServlet {
 public:
  GetComponentLogLevelZemIpcHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
