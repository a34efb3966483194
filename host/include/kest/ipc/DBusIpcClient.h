// A D-Bus client of "com.olvane.*" components, for zemctl and tests: calls with the a{sv}
// convention and subscriptions to the signals a component emits.
// Thread safety: call() and subscribe() may be used from any thread except inside a signal handler;
// handlers run on the client's bus thread, one at a time.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "kest/Export.h"
#include "kest/ipc/DBusBusType.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {

class KEST_EXPORT DBusIpcClient {
 public:
  // Called for every signal of interface com.olvane.Zem from the subscribed component.
  using SignalHandler = std::function<void(const std::string& signalName, const IpcParameterSet& parameters)>;

  // Ends its subscription when destroyed. REQUIRES: destroyed before its client, and not from inside
  // its own handler.
  class Subscription {
   public:
    virtual ~Subscription() = default;
  };

  // Connects to `bus` and, when `ownedName` is not empty, owns it ("com.olvane.X" makes calls arrive
  // from component X). Throws IpcException when the bus is unreachable or the name is owned already.
  explicit DBusIpcClient(DBusBusType bus = DBusBusType::Session, const std::string& ownedName = "");
  ~DBusIpcClient();
  DBusIpcClient(const DBusIpcClient&) = delete;
  DBusIpcClient& operator=(const DBusIpcClient&) = delete;

  // Calls `method` of `interfaceName` on `component` and returns its "out" parameters.
  // `component` is a bare component ("ZEM_APP": name com.olvane.ZEM_APP, object /com/olvane/ZEM_APP)
  // or a full bus name (object "/" + the name with dots as slashes); interface com.olvane.VehicleBus
  // is always called at its own object, /com/olvane/VehicleBus. `interfaceName` holding a dot
  // is taken as it is, otherwise it becomes "com.olvane." + interfaceName ("Zem", "SelfDiag").
  // Throws IpcException: "service com.olvane.X is not running" when nobody owns the name, a timeout
  // text, or the D-Bus error's name and text.
  IpcParameterSet call(const std::string& component, const std::string& interfaceName, const std::string& method,
                       const IpcParameterSet& in, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  // Asks the connection owning `component`'s name for org.freedesktop.DBus.Peer.Ping, which the bus
  // library answers itself: proof that the peer's connection is alive, and the bare round trip
  // against which IPC calls are measured. Throws IpcException as call() does.
  void peerPing(const std::string& component, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  // Subscribes to the com.olvane.Zem signals sent by `component` (bare or full name, as for call).
  // Returns the subscription; throws IpcException when the bus refuses the match rule.
  std::unique_ptr<Subscription> subscribe(const std::string& component, SignalHandler handler);

  // The connection's unique name (":1.42").
  std::string getUniqueName() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Ipc
