// Conversion between IPC parameter sets and the D-Bus a{sv} dictionary: string "s", integer "x",
// byte field "ay"; a received value of any other type is kept as an IpcUnsupportedParameter.
// Byte fields move as one block (sd-bus array append/read), not byte by byte, so a megabyte
// crosses in milliseconds.
// Thread safety: pure functions; a message belongs to the thread that builds or reads it.
#pragma once

#include <sdbus-c++/Message.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

// Throws IpcException "Parameter cannot be sent: " + name when a parameter is of no sendable type
// (checked before anything is appended).
void checkSendable(const IpcParameterSet& parameters);

// Appends `parameters` to `message` as one a{sv}. REQUIRES: checkSendable(parameters) passed.
// Throws sdbus::Error when sd-bus refuses (out of memory, sealed message).
void appendParameters(sdbus::Message& message, const IpcParameterSet& parameters);

// The most bytes each received string or byte field may hold, by parameter name.
struct ValueCaps {
  std::map<std::string, size_t> byName;  // the declared caps
  size_t others = SIZE_MAX;              // every other parameter's

  // The caps `definition` declares (see IpcParameterDefinition::maxBytes).
  static ValueCaps of(const IpcMessageDefinition& definition);
  // These caps, none above `max`.
  ValueCaps atMost(size_t max) const;
  size_t of(const std::string& name) const;
};

// Parameter names longer than this are refused: no definition declares one.
constexpr size_t kMaxParameterNameBytes = 255;

// Reads one a{sv} from `message`, every value held to its cap in `caps` and every name to
// kMaxParameterNameBytes. Lengths are checked on the message's own buffer, before anything is
// copied. `seenBytes`, when given, receives the bytes of the names and values looked at, the refused
// one included. Throws sdbus::Error ("org.freedesktop.DBus.Error.InvalidArgs") when the message
// holds no a{sv} at that point, and ("org.freedesktop.DBus.Error.LimitsExceeded") naming the
// parameter and both sizes when a value or name is over its cap.
IpcParameterSet readParameters(sdbus::Message& message, const ValueCaps& caps, size_t* seenBytes = nullptr);

// Reads one a{sv} from `message`. A well-formed dictionary never fails: values of other types
// become unsupported parameters (their signature kept). Throws sdbus::Error
// ("org.freedesktop.DBus.Error.InvalidArgs") when the message holds no a{sv} at that point, and
// ("org.freedesktop.DBus.Error.LimitsExceeded") when a string or byte field is longer than
// `maxValueBytes` (checked before anything is copied).
IpcParameterSet readParameters(sdbus::Message& message, size_t maxValueBytes = SIZE_MAX);

}  // namespace detail
}  // namespace Ipc
