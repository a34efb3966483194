// The servlets and listeners of one IPC service, by definition key, and the running of a servlet.
// Shared by DBusIpcService and InProcessIpcService so both keep the same contract.
// Thread safety: every method may be called from any thread; mutex_ guards servlets_ and listeners_,
// clientsMutex_ guards clientListeners_. No sd-bus or other foreign lock is ever taken while mutex_
// is held; clientsMutex_ is held while client listeners run.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kest/ipc/IpcListener.h"
#include "kest/ipc/IpcServlet.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

class ServletRegistry {
 public:
  // A registered servlet with the definition it was registered for. Shared so that a call in
  // progress keeps its servlet alive when the definition is served anew meanwhile.
  struct Entry {
    std::shared_ptr<const IpcMessageDefinition> definition;
    std::shared_ptr<IpcMethodServlet> servlet;
  };

  // Serves the definition's key with `servlet` (replacing a previous one) and hands it every
  // listener recorded for that key. Returns true when the key was not served before.
  // REQUIRES: servlet != nullptr.
  bool registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet);
  // Undoes a registerServlet that returned true (the transport refused the key).
  void unregister(const std::string& key);
  // Returns the entry serving `key`; both pointers are null when none does.
  Entry find(const std::string& key) const;
  bool serves(const std::string& key) const;

  // Records the listener (not owned) for the key, and forwards it to the servlet serving the key.
  void addListener(const IpcMessageDefinition& definition, IpcListener* listener);
  // Removes every record of the listener for the key, and forwards the removal to the servlet.
  void removeListener(const IpcMessageDefinition& definition, IpcListener* listener);
  // Calls, without the lock held, every listener recorded for the definition's key while no servlet
  // serves it (a served key's listeners belong to its servlet). Exceptions of a listener are logged.
  void notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message);

  // Records / forgets a client listener (not owned); recording twice is once.
  void addClientListener(IpcClientListener* listener);
  void removeClientListener(IpcClientListener* listener);
  // Tells every client listener that `connection` left. Exceptions of a listener are logged.
  void notifyClientLeft(const std::string& connection);

  // Destroys every servlet that no call holds any more.
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Entry> servlets_;                       // guarded by mutex_
  std::map<std::string, std::vector<IpcListener*>> listeners_;  // guarded by mutex_
  std::mutex clientsMutex_;
  std::vector<IpcClientListener*> clientListeners_;  // guarded by clientsMutex_
};

// Runs `entry`'s servlet on the calling thread and returns the parameters it added to its response.
// Exceptions of the servlet propagate. REQUIRES: entry.servlet != nullptr.
IpcParameterSet runServlet(const ServletRegistry::Entry& entry, IpcParameterSet in, IpcCaller caller);

}  // namespace detail
}  // namespace Ipc
