// How components, interfaces and members map onto D-Bus names and object paths.
// Thread safety: pure functions.
#pragma once

#include <string>

#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

// "com.olvane." — every component's well-known name starts with it.
extern const char kBusNamePrefix[];

// Where a component lives on the bus.
struct DBusDestination {
  std::string busName;     // "com.olvane.ZEM_APP"
  std::string objectPath;  // "/com/olvane/ZEM_APP"
};

// A bare component "X" (letters, digits, '_') lives at com.olvane.X, /com/olvane/X. A full bus name
// "a.b.X" lives at a.b.X, /a/b/X. Throws IpcException "Invalid component name: " + text otherwise.
DBusDestination destinationOf(const std::string& component);

// The component "X" of a well-known name "com.olvane.X"; empty for any other name.
std::string componentOfBusName(const std::string& busName);

// An interface argument: empty means `ownInterface`, a text holding a dot is taken as it is, any
// other text becomes "com.olvane." + text. Throws IpcException for an invalid interface name.
std::string resolveInterface(const std::string& interfaceName, const std::string& ownInterface);

// Throws IpcException "Invalid IPC message name: " + name unless `name` is a valid D-Bus member.
void checkMemberName(const std::string& name);

}  // namespace detail
}  // namespace Ipc
