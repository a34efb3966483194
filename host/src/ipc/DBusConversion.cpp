#include "ipc/DBusConversion.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <sdbus-c++/Error.h>

namespace Ipc {
namespace detail {
namespace {

// sdbus-c++ keeps the sd-bus message in a protected member and offers no block append or read of
// byte arrays; this accessor reaches the handle so that byte fields move in one call.
struct RawMessage : sdbus::Message {
  static sd_bus_message* of(sdbus::Message& message) {
    return static_cast<sd_bus_message*>(message.*(&RawMessage::msg_));
  }
};

constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";

void check(int result, const char* what) {
  if (result < 0) throw sdbus::Error(kInvalidArgs, std::string(what) + ": " + std::strerror(-result));
}

// Throws LimitsExceeded "<what> is too large: <size> bytes, at most <max>" when size > max.
void checkSize(const std::string& what, size_t size, size_t max) {
  if (size <= max) return;
  throw sdbus::Error(kLimitsExceeded,
                     what + " is too large: " + std::to_string(size) + " bytes, at most " + std::to_string(max));
}

}  // namespace

ValueCaps ValueCaps::of(const IpcMessageDefinition& definition) {
  ValueCaps caps;
  if (definition.getParameters().empty()) return caps;
  bool allCapped = true;
  size_t largest = 0;
  for (const IpcParameterDefinition& parameter : definition.getParameters()) {
    if (parameter.direction != IpcParameterDirection::In || parameter.type == IpcParameterType::Integer) continue;
    if (parameter.maxBytes == 0) {
      allCapped = false;
      continue;
    }
    caps.byName[parameter.name] = parameter.maxBytes;
    largest = std::max(largest, parameter.maxBytes);
  }
  if (allCapped) caps.others = largest == 0 ? kMaxUndeclaredValueBytes : largest;
  return caps;
}

ValueCaps ValueCaps::atMost(size_t max) const {
  ValueCaps caps = *this;
  for (auto& entry : caps.byName) entry.second = std::min(entry.second, max);
  caps.others = std::min(caps.others, max);
  return caps;
}

size_t ValueCaps::of(const std::string& name) const {
  const auto found = byName.find(name);
  return found == byName.end() ? others : found->second;
}

void checkSendable(const IpcParameterSet& parameters) {
  for (const auto& entry : parameters.all()) {
    const IpcParameterType type = entry.second->getType();
    if (type != IpcParameterType::String && type != IpcParameterType::Integer && type != IpcParameterType::ByteField) {
      throw IpcException("Parameter cannot be sent: " + entry.first);
    }
  }
}

void appendParameters(sdbus::Message& message, const IpcParameterSet& parameters) {
  sd_bus_message* m = RawMessage::of(message);
  check(sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "cannot open the dictionary");
  for (const auto& entry : parameters.all()) {
    const IpcParameter* parameter = entry.second.get();
    check(sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv"), "cannot open an entry");
    check(sd_bus_message_append_basic(m, SD_BUS_TYPE_STRING, entry.first.c_str()), "cannot append a name");
    if (const auto* text = dynamic_cast<const IpcStringParameter*>(parameter)) {
      check(sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "s"), "cannot open a value");
      check(sd_bus_message_append_basic(m, SD_BUS_TYPE_STRING, text->getValue().c_str()), "cannot append a string");
    } else if (const auto* number = dynamic_cast<const IpcIntegerParameter*>(parameter)) {
      const int64_t value = number->getValue();
      check(sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "x"), "cannot open a value");
      check(sd_bus_message_append_basic(m, SD_BUS_TYPE_INT64, &value), "cannot append an integer");
    } else if (const auto* field = dynamic_cast<const IpcByteFieldParameter*>(parameter)) {
      const std::string& bytes = field->getValueAsString();
      check(sd_bus_message_open_container(m, SD_BUS_TYPE_VARIANT, "ay"), "cannot open a value");
      check(sd_bus_message_append_array(m, SD_BUS_TYPE_BYTE, bytes.data(), bytes.size()), "cannot append bytes");
    } else {
      throw IpcException("Parameter cannot be sent: " + entry.first);
    }
    check(sd_bus_message_close_container(m), "cannot close a value");
    check(sd_bus_message_close_container(m), "cannot close an entry");
  }
  check(sd_bus_message_close_container(m), "cannot close the dictionary");
}

IpcParameterSet readParameters(sdbus::Message& message, size_t maxValueBytes) {
  ValueCaps caps;
  caps.others = maxValueBytes;
  return readParameters(message, caps);
}

IpcParameterSet readParameters(sdbus::Message& message, const ValueCaps& caps, size_t* seenBytes) {
  size_t seen = 0;
  size_t* const total = seenBytes != nullptr ? seenBytes : &seen;
  *total = 0;
  sd_bus_message* m = RawMessage::of(message);
  IpcParameterSet parameters;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "the arguments are no a{sv}");
  for (;;) {
    const int more = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    check(more, "unreadable dictionary entry");
    if (more == 0) break;
    const char* name = nullptr;
    check(sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &name), "unreadable parameter name");
    const size_t nameBytes = std::strlen(name);
    *total += nameBytes;
    checkSize("A parameter name", nameBytes, kMaxParameterNameBytes);
    const size_t maxValueBytes = caps.of(name);
    char type = 0;
    const char* contents = nullptr;
    check(sd_bus_message_peek_type(m, &type, &contents), "unreadable parameter value");
    const std::string signature = contents != nullptr ? contents : "";
    check(sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents), "unreadable parameter value");
    if (signature == "s") {
      const char* text = nullptr;
      check(sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &text), "unreadable string");
      const size_t size = std::strlen(text);
      *total += size;
      checkSize(std::string("The string ") + name, size, maxValueBytes);
      parameters.add(std::make_unique<IpcStringParameter>(name, text));
    } else if (signature == "x") {
      int64_t value = 0;
      check(sd_bus_message_read_basic(m, SD_BUS_TYPE_INT64, &value), "unreadable integer");
      parameters.add(std::make_unique<IpcIntegerParameter>(name, value));
    } else if (signature == "ay") {
      const void* bytes = nullptr;
      size_t size = 0;
      check(sd_bus_message_read_array(m, SD_BUS_TYPE_BYTE, &bytes, &size), "unreadable byte field");
      *total += size;
      checkSize(std::string("The byte field ") + name, size, maxValueBytes);
      parameters.add(std::make_unique<IpcByteFieldParameter>(
          name, size == 0 ? std::string() : std::string(static_cast<const char*>(bytes), size)));
    } else {
      check(sd_bus_message_skip(m, signature.c_str()), "unreadable parameter value");
      parameters.add(std::make_unique<IpcUnsupportedParameter>(name, signature));
    }
    check(sd_bus_message_exit_container(m), "unreadable parameter value");
    check(sd_bus_message_exit_container(m), "unreadable dictionary entry");
  }
  check(sd_bus_message_exit_container(m), "unreadable dictionary");
  return parameters;
}

}  // namespace detail
}  // namespace Ipc
