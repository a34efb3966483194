// Conversion between IPC parameter sets and the D-Bus a{sv} dictionary: string "s", integer "x",
// byte field "ay"; any other value type is kept as an IpcUnsupportedParameter.
// Thread safety: pure functions; a Variant map belongs to the thread that built it.
#pragma once

#include <sdbus-c++/Types.h>

#include <map>
#include <string>

#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

using VariantMap = std::map<std::string, sdbus::Variant>;

// Never throws for a well-formed dictionary: values of other types become unsupported parameters.
IpcParameterSet toParameterSet(const VariantMap& values);
// Throws IpcException "Parameter cannot be sent: " + name for an unsupported parameter.
VariantMap toVariantMap(const IpcParameterSet& parameters);

}  // namespace detail
}  // namespace Ipc
