// An IpcService without a bus, for unit tests: calls run their servlet synchronously on the caller's
// thread, signals are recorded, and calls to other components reach handlers the test installs.
// Thread safety: every method may be called from any thread; servlets and peers run unlocked.
#pragma once

#include <chrono>
#include <condition_variable>
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
  // Answers a callMethod addressed to one component.
  using PeerHandler = std::function<IpcParameterSet(const IpcMessageDefinition&, const IpcParameterSet&)>;

  struct RecordedSignal {
    std::string name;
    IpcParameterSet parameters;
  };
  struct RecordedCall {
    std::string component;
    std::string interfaceName;  // resolved: "com.olvane.Zem", "com.olvane.X", ...
    std::string name;
    IpcParameterSet parameters;
  };

  InProcessIpcService();
  ~InProcessIpcService() override;

  // Runs the servlet serving `name` on `interfaceOrKind` ("com.olvane.Zem", "Zem", "com.olvane.SelfDiag",
  // "SelfDiag" or "ZemSelfDiag") with a copy of `in` and `sender`, and returns its "out" parameters.
  // Throws IpcException when no servlet serves it, and IpcException carrying the servlet's text when
  // an exception escapes the servlet (the case a D-Bus caller sees as an error reply).
  IpcParameterSet call(const std::string& interfaceOrKind, const std::string& name, const IpcParameterSet& in,
                       const std::string& sender = "test");
  // True when a servlet serves `name` on `interfaceOrKind`.
  bool serves(const std::string& interfaceOrKind, const std::string& name) const;

  // Copies of the signals sent so far, oldest first.
  std::vector<RecordedSignal> signals() const;
  // Waits until at least `count` signals named `name` were recorded; returns false on timeout.
  bool waitForSignal(const std::string& name, std::chrono::milliseconds timeout, std::size_t count = 1) const;
  void clearSignals();

  // Installs the handler answering calls to `component`; an empty handler removes it.
  void setPeer(const std::string& component, PeerHandler handler);
  // Copies of every callMethod made so far (answered or not), oldest first.
  std::vector<RecordedCall> peerCalls() const;

  // As DBusIpcService::notifyListeners.
  void notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message);

  void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet) override;
  void addListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  void removeListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  // Records the signal. Throws IpcException for a parameter that cannot be sent (an unsupported one).
  void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) override;
  // Answers through the peer handler of `component`; throws IpcException when none is installed
  // ("service com.olvane.<component> is not running"). Exceptions of the handler propagate.
  IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                             const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) override;

 private:
  std::unique_ptr<detail::ServletRegistry> registry_;
  mutable std::mutex mutex_;
  mutable std::condition_variable signalled_;
  std::vector<RecordedSignal> signals_;       // guarded by mutex_
  std::map<std::string, PeerHandler> peers_;  // guarded by mutex_
  std::vector<RecordedCall> peerCalls_;       // guarded by mutex_
};

}  // namespace Ipc
