// "ReadStringProperty" (self-diagnosis): answers the current value of the property named by
// "property" (string) as text in "value" (string); "" for a missing property or one without a value.
// Thread safety: stateless; runs concurrently on any IPC dispatch thread (the map serialises).
#pragma once

#include "kest/ipc/IpcServlet.h"

class ReadStringPropertyHandler : public Ipc::IpcMethodServlet {
 public:
  // Also initialises the property map: built during start-up, this is where the installed
  // configuration is first loaded. `services` is not owned and may be null.
  ReadStringPropertyHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services);

  // Adds "value". A missing or mistyped "property" (Ipc::IpcException) is logged as two ERROR
  // lines and answered without "value". Every call ends with the TRACE timing line.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
  // The same answer at once, when the map holds the value in memory and is free (see
  // ProvisioningAdapterMap::tryGetPropertyValueAtOnce); false for everything else, errors included.
  bool mayAnswerAtOnce() const override { return true; }
  bool processMethodCallAtOnce(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                               Ipc::IpcMethodCallResponse& response) override;
};
