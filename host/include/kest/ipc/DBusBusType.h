// The message bus a D-Bus IPC endpoint connects to. Thread safety: a plain value.
#pragma once

namespace Ipc {

// Session: the bus of DBUS_SESSION_BUS_ADDRESS (the default for development, tests and the demo).
// System: the system bus, where a policy lets only root own "com.olvane.*" names.
enum class DBusBusType { Session, System };

}  // namespace Ipc
