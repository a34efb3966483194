// "ZemPropertyUpdate": applies a property update document ("request", byte field) on behalf of the
// calling component and answers the map's serialised update result ("response", byte field).
// Thread safety: stateless; runs concurrently on any IPC dispatch thread (the map serialises).
#pragma once

#include "kest/ipc/IpcServlet.h"

class IpcMessagePropertyUpdateHandler : public Ipc::IpcMethodServlet {
 public:
  // `services` is not owned and may be null.
  IpcMessagePropertyUpdateHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}

  // The updating caller is known by request.getSenderNames(), every component name the transport
  // vouches for (never taken from the document), so a restricted property is written only when one
  // of them is a listed owner. Adds
  // "response" with a PropertyUpdateResult (false: refused or not stored). A missing or mistyped
  // "request" (Ipc::IpcException) is logged as two ERROR lines and answered without "response".
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};
