// An IpcService without a bus, for unit tests: calls run their servlet synchronously on the caller's
// thread; signals are checked as a bus would check them and dropped; no other component runs.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kest/ipc/IpcService.h"

namespace Ipc {

namespace detail {
class ServletRegistry;
}

class InProcessIpcService : public IpcService {
 public:
  InProcessIpcService();
  ~InProcessIpcService() override;

  // Runs the servlet serving `name` on `kind` ("Zem" or "SelfDiag") and returns its answer. Throws
  // IpcException when none serves it or with the servlet's error text.
  IpcParameterSet call(const std::string& kind, const std::string& name, const IpcParameterSet& in,
                       const std::string& sender = "test");
  // As DBusIpcService::notifyListeners.
  void notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message);

  void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet) override;
  void addListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  void removeListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  // Throws IpcException for a parameter that cannot be sent (an unsupported one).
  void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) override;
  // Throws IpcException: "service com.olvane.<component> is not running".
  IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                             const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) override;

 private:
  std::unique_ptr<detail::ServletRegistry> registry_;
};

}  // namespace Ipc
