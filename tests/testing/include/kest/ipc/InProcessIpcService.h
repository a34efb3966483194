// An IpcService without a bus, for unit tests: calls run their servlet synchronously on the caller's
// thread; signals are checked as a bus would check them and recorded; the only other components
// are the method answers a test adds with addPeer. Thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
  // The same, made by `caller` (a caller owning several names, or one to be told clientLeft).
  IpcParameterSet call(const std::string& kind, const std::string& name, const IpcParameterSet& in,
                       const IpcCaller& caller);
  // As DBusIpcService::notifyListeners.
  void notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message);

  void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet) override;
  void addListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  void removeListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  void addClientListener(IpcClientListener* listener) override;
  void removeClientListener(IpcClientListener* listener) override;
  // Tells the client listeners, on the caller's thread, that `connection` left (calls here run
  // synchronously, so none of it is in flight).
  void clientLeft(const std::string& connection);
  // Throws IpcException for a parameter that cannot be sent (an unsupported one).
  void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) override;
  // The parameters of the signals named `name` sent so far, in sending order; strings and byte
  // fields as text, other kinds as "?".
  std::vector<std::map<std::string, std::string>> sent(const std::string& name) const;

  // Answers calls of `method` to `component` with `peer`, on the caller's thread.
  using Peer = std::function<IpcParameterSet(const std::string& interfaceName, const IpcParameterSet& in)>;
  void addPeer(const std::string& component, const std::string& method, Peer peer);
  // Throws IpcException: "service com.olvane.<component> is not running" unless a peer answers.
  IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                             const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) override;

 private:
  std::unique_ptr<detail::ServletRegistry> registry_;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> sent_;  // guarded by mutex_
  std::map<std::string, Peer> peers_;  // by "<component>/<method>", guarded by mutex_
};

}  // namespace Ipc
