// The host's IPC service: serves method servlets, delivers notifications to listeners, emits
// signals and calls other components. Two implementations: DBusIpcService (sdbus-c++) and
// InProcessIpcService (unit tests).
// Thread safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kest/Export.h"
#include "kest/ipc/IpcListener.h"
#include "kest/ipc/IpcServlet.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {

class KEST_EXPORT IpcService {
 public:
  virtual ~IpcService() = default;

  // The process-wide service set by the host (nullptr before setInstance). Not owned.
  static IpcService* getInstance();
  static void setInstance(IpcService* service);

  // Serves `definition` with `servlet`; the service takes ownership. Registering a definition
  // that is already served replaces the servlet. Throws IpcException when the transport refuses.
  virtual void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet) = 0;
  // Adds / removes a listener (not owned) for `definition`. When a servlet serves the definition,
  // the call is forwarded to that servlet's addListener/removeListener; otherwise the service keeps
  // the listener and notify() reaches it.
  virtual void addListener(const IpcMessageDefinition& definition, IpcListener* listener) = 0;
  virtual void removeListener(const IpcMessageDefinition& definition, IpcListener* listener) = 0;
  // Adds / removes a listener (not owned) told of every caller connection that leaves the bus. Once
  // removeClientListener has returned the listener is not called any more. Adding twice is once.
  virtual void addClientListener(IpcClientListener* listener) = 0;
  virtual void removeClientListener(IpcClientListener* listener) = 0;
  // Emits `definition` as a signal carrying `parameters`. Throws IpcException on transport failure.
  virtual void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) = 0;
  // Calls `definition` on component `component` ("com.olvane." + component, object
  // "/com/olvane/" + component on D-Bus) and returns its "out" parameters. `interfaceName` empty
  // means the definition's own interface; otherwise "com.olvane." + interfaceName, or interfaceName
  // as it is when it holds a dot. Throws IpcException on any failure (absent peer, error reply, timeout).
  virtual IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                                     const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) = 0;
};

}  // namespace Ipc
