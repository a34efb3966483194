// The bus side of the name-owner tracking of DBusIpcService: keeps a NameOwnerCache current from
// the bus's NameOwnerChanged signals, and reports the connections that leave the bus.
// Thread safety: the handlers run on the bus thread; NameOwnerCache locks for itself.
#pragma once

#include <sdbus-c++/IConnection.h>

#include <functional>
#include <string>

#include "ipc/BusConnection.h"
#include "ipc/NameOwnerCache.h"

namespace Ipc {
namespace detail {

// Watches the owner changes of "com.olvane.*" names into `owners`, then loads their current owners
// (watch first, then read: no change can fall between the two). Returns the match; the watch ends
// when it is destroyed. Throws IpcException when the bus refuses the rule or cannot list the names.
// REQUIRES: `bus` and `owners` outlive the returned slot; not on the bus thread.
sdbus::Slot followNameOwners(BusConnection& bus, NameOwnerCache& owners);

// Calls `departed` on the bus thread with the unique name (":1.42") of each connection that leaves
// the bus. Returns the match; the watch ends when it is destroyed. Throws IpcException when the bus
// refuses the rule.
sdbus::Slot watchDepartures(BusConnection& bus, std::function<void(const std::string&)> departed);

}  // namespace detail
}  // namespace Ipc
