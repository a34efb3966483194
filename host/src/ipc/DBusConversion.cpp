#include "ipc/DBusConversion.h"

#include <cstdint>
#include <vector>

namespace Ipc {
namespace detail {

IpcParameterSet toParameterSet(const VariantMap& values) {
  IpcParameterSet parameters;
  for (const auto& entry : values) {
    const std::string& name = entry.first;
    const sdbus::Variant& value = entry.second;
    const std::string type = value.peekValueType();
    if (type == "s") {
      parameters.add(std::make_unique<IpcStringParameter>(name, value.get<std::string>()));
    } else if (type == "x") {
      parameters.add(std::make_unique<IpcIntegerParameter>(name, value.get<int64_t>()));
    } else if (type == "ay") {
      const auto bytes = value.get<std::vector<uint8_t>>();
      parameters.add(std::make_unique<IpcByteFieldParameter>(name, std::string(bytes.begin(), bytes.end())));
    } else {
      parameters.add(std::make_unique<IpcUnsupportedParameter>(name, type));
    }
  }
  return parameters;
}

VariantMap toVariantMap(const IpcParameterSet& parameters) {
  VariantMap values;
  for (const auto& entry : parameters.all()) {
    const IpcParameter* parameter = entry.second.get();
    if (const auto* text = dynamic_cast<const IpcStringParameter*>(parameter)) {
      values.emplace(entry.first, sdbus::Variant(text->getValue()));
    } else if (const auto* number = dynamic_cast<const IpcIntegerParameter*>(parameter)) {
      values.emplace(entry.first, sdbus::Variant(number->getValue()));
    } else if (const auto* field = dynamic_cast<const IpcByteFieldParameter*>(parameter)) {
      const std::string& bytes = field->getValueAsString();
      values.emplace(entry.first, sdbus::Variant(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    } else {
      throw IpcException("Parameter cannot be sent: " + entry.first);
    }
  }
  return values;
}

}  // namespace detail
}  // namespace Ipc
