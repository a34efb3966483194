// The host's IPC service on D-Bus (sdbus-c++ on sd-bus): owns "com.olvane.<component>", serves
// the object "/com/olvane/<component>" (and "/com/olvane/VehicleBus" for the vehicle bus's
// messages), emits signals and calls other components.
// Thread safety: every method may be called from any thread, except that callMethod must not be
// called from inside a signal or name-owner callback (the bus thread). Servlets run on a small pool
// of dispatch threads, each client with a bounded number of calls in flight, so neither a slow
// servlet nor a flood from one client delays another call. The liveness members ("Ping") have a
// reserved lane: their servlets run on the bus thread itself, ahead of every queued call, and are
// never refused for load; such a servlet must answer at once and never call out.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/ipc/DBusBusType.h"
#include "kest/ipc/IpcService.h"

namespace Ipc {

class KEST_EXPORT DBusIpcService : public IpcService {
 public:
  struct Options {
    DBusBusType bus = DBusBusType::Session;
    // Threads that run servlets and send their replies.
    std::size_t dispatchThreads = 4;
    // Calls waiting for a dispatch thread beyond which new calls are refused with a D-Bus error.
    std::size_t maxPendingCalls = 1024;
    // Calls of one client connection, running or waiting, beyond which its new calls are refused
    // at once with org.freedesktop.DBus.Error.LimitsExceeded.
    std::size_t maxCallsPerClient = 64;
    // Members (of any interface) answered on the reserved liveness lane, see above.
    std::vector<std::string> livenessMembers = {"Ping"};
    // Called once, on the bus thread, when the connection to the bus is lost (the bus went away or
    // broke the connection); not called for stop(). Must not block or call into the service.
    std::function<void()> onBusLost;
  };

  // Connects to the bus and owns the well-known name from the start. `name` is the full name
  // ("com.olvane.ZEM_APP") or the bare component ("ZEM_APP"); the component names the object path.
  // Throws IpcException when the bus is unreachable, the name is malformed, or another connection
  // owns the name already. Servlets are served once start() has run.
  explicit DBusIpcService(const std::string& name, Options options);
  explicit DBusIpcService(const std::string& name) : DBusIpcService(name, Options()) {}

  // Client variant: connects without owning a name, for callers that only call out (zemctl).
  // registerServlet and sendSignal throw IpcException on such a service; calls arrive from its
  // unique name. Throws IpcException when the bus is unreachable.
  struct ClientOnly {};
  DBusIpcService(ClientOnly, Options options);

  // Stops the service (see stop) and closes the connection.
  ~DBusIpcService() override;

  DBusIpcService(const DBusIpcService&) = delete;
  DBusIpcService& operator=(const DBusIpcService&) = delete;

  // Starts the bus thread and the dispatch threads. A second call does nothing.
  // Throws IpcException when the threads cannot be started.
  void start();
  // Refuses new calls (they get a D-Bus error), lets running servlets finish and answers calls that
  // were still waiting with a D-Bus error, then joins every thread. The well-known name stays owned
  // until destruction. A second call does nothing; start() after stop() is refused (IpcException).
  void stop();

  // What probe() saw make progress.
  struct Progress {
    bool busThread = false;        // the bus thread went round its loop
    bool dispatchThreads = false;  // a dispatch thread ran a no-op queued behind the waiting calls
  };
  // Checks, through the paths calls take, that the service still serves: the bus thread is woken
  // and must go round its loop, and a no-op queued behind the waiting calls must run, both within
  // `timeout`. A no-op that missed an earlier timeout is waited for again rather than queued anew,
  // so a stuck pool holds at most one. Returns what made progress; nothing does once stopped or on
  // a client-only service. Takes at most `timeout`.
  Progress probe(std::chrono::milliseconds timeout);

  // The component served ("ZEM_APP"); empty for a client-only service.
  const std::string& getComponent() const;
  // The connection's unique name (":1.42").
  std::string getUniqueName() const;

  void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet) override;
  void addListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  void removeListener(const IpcMessageDefinition& definition, IpcListener* listener) override;
  // A connection counts as gone when the bus says so (NameOwnerChanged of its unique name) and its
  // last call on this service has ended; its client listeners run on the bus thread or on the
  // dispatch thread that ended that call.
  void addClientListener(IpcClientListener* listener) override;
  void removeClientListener(IpcClientListener* listener) override;
  void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) override;
  IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                             const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) override;

  // Delivers `message` to the listeners the service keeps for `definition` (those added while no
  // servlet serves it), on the calling thread, in the order they were added. A listener's exception
  // is logged and does not stop the others.
  void notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Ipc
