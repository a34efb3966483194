// "GetSwVersion": the software version as "major", "minor" and "patch".
// Thread safety: stateless; runs on any IPC dispatch thread.
#pragma once

#include "kest/ipc/IpcServlet.h"

class GetSwVersionZemIpcHandler : public Ipc::IpcMethodServlet {
 public:
  GetSwVersionZemIpcHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
