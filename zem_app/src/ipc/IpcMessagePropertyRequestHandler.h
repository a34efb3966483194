// "ZemPropertyRequest": answers a property request document ("request", byte field) with the
// serialised result document of the property map ("response", byte field).
// Thread safety: stateless; runs concurrently on any IPC dispatch thread (the map serialises).
#pragma once

#include <chrono>

#include "kest/ipc/IpcServlet.h"

class IpcMessagePropertyRequestHandler : public Ipc::IpcMethodServlet {
 public:
  // `services` is not owned and may be null.
  IpcMessagePropertyRequestHandler(const Ipc::IpcMessageDefinition& definition, ExtensionServices* services)
      : Ipc::IpcMethodServlet(definition, services) {}

  // Adds "response" with the map's answer; a document that does not parse is answered with the
  // empty result document. A missing or mistyped "request" (Ipc::IpcException) is logged as two
  // ERROR lines and answered without "response". Every call ends with the TRACE timing line.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;
  // The same answer at once, when the property read holds its value in memory and the map is free
  // (see ProvisioningAdapterMap::tryGetXmlPropertyResultAtOnce); false for everything else,
  // errors included, which then take the ordinary path with its log lines.
  bool mayAnswerAtOnce() const override { return true; }
  bool processMethodCallAtOnce(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                               Ipc::IpcMethodCallResponse& response) override;

  // Logs TRACE "Property request processed: <ms> ms" for the time since `start`, the milliseconds
  // written as printf "%f" does. Shared with the read-string servlet.
  static void logProcessingTime(std::chrono::system_clock::time_point start);
};
