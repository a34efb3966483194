// "JobAppeared": another component announces a task container in the inbox by its path
// ("jobLocation"); the servlet hands the path to the listeners of the definition (the application object) and answers
// "status" 1, or 0 when the request could not be read.
// Thread safety: processMethodCall may run on several IPC dispatch threads at once; the listener
// list is guarded by the IpcServlet base.
#pragma once

#include "kest/ipc/IpcServlet.h"

class ExtensionServices;

class ZemJobAppearedIpcHandler : public Ipc::IpcMethodServlet {
 public:
  // `services` is not owned and may be null.
  ZemJobAppearedIpcHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services);
  ~ZemJobAppearedIpcHandler() override;

  Ipc::IpcMethodServlet* getServlet() override;
  // Reads "jobLocation" (a string). When it names a regular file directly inside the inbox (no
  // symbolic link), calls every listener of the definition's key, in registration order, with an
  // IpcMessage holding the file's inbox path; while no listener is registered the path is held
  // (up to IpcServlet::kMaxHeldMessages) and delivered once one is. Any other path is logged at ERROR (escaped and
  // bounded) and touches nothing. Adds "status": 1 when the request was read (also when the path
  // was refused or its folder is missing), 0 when "jobLocation" is missing or not a string.
  // Exceptions of listeners other than Ipc::IpcException propagate to the IPC service.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
};

// Plug-in entry point (see kest/Application.h): a new "JobAppeared" servlet for `services` (not
// owned, may be null), owned by the caller, who hands it to the IPC service. Null on failure.
extern "C" __attribute__((visibility("default"))) Ipc::IpcMethodServlet* zemCreateJobAppearedServlet(
    ExtensionServices* services);
