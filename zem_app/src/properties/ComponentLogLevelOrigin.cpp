// Value access of the component-log-level origin: the level is sent to the component first and
// stored only when the component took it.
#include <chrono>
#include <exception>
#include <memory>

#include "database/Database.h"
#include "ipc/IpcDefinitions.h"
#include "kest/ipc/IpcService.h"
#include "kolconfig/XSDEnumException.h"
#include "properties/OriginValues.h"

namespace Types = Sarnet_Configuration::Types;

namespace {
// The call runs with the property map locked: a component that does not answer may hold every
// other map operation for this long, not the IPC service's default of 5 s.
constexpr std::chrono::milliseconds kComponentCallTimeout(1000);
}  // namespace

template <>
PropertyValue getValue(const Types::ComponentLogLevelPropertyOrigin& origin) {
  ZEM_TRACE("Read from database " << origin.get_key());
  return Database::getInstance()->getString(origin.get_key());
}

template <>
bool setValue(const Types::ComponentLogLevelPropertyOrigin& origin, const Types::PersistedValue* value) {
  ZEM_TRACE("Write in database " << origin.get_key());
  const auto* text = Types::exactly<Types::PersistedStringValue>(value);
  if (text == nullptr) {
    ZEM_ERROR("Log level value should be a string");
    return false;
  }
  Types::LogLevelType::Enum level;
  try {
    level = Types::LogLevelType::parse(text->get_stringValue());
  } catch (const XSDEnumException&) {
    ZEM_ERROR("Incorrect log level setting: " << ApplicationLogger::shortened(text->get_stringValue(), 64));
    return false;
  }
  try {
    Ipc::IpcService* const service = Ipc::IpcService::getInstance();
    if (service == nullptr) throw Ipc::IpcException("no IPC service");
    Ipc::IpcParameterSet parameters;
    parameters.add(std::make_unique<Ipc::IpcIntegerParameter>("level", static_cast<int64_t>(level)));
    const Ipc::IpcParameterSet answer =
        service->callMethod(origin.get_component(), origin.get_interface(), IpcDefinitions::setComponentLogLevel(),
                            parameters, kComponentCallTimeout);
    const int64_t result = answer.get<Ipc::IpcIntegerParameter>("result").getValue();
    ZEM_DEBUG("Component " << origin.get_component() << " answered " << result << " to log level "
                           << text->get_stringValue());
  } catch (const std::exception& e) {
    ZEM_ERROR("Impossible to set log level in component " << origin.get_component() << " : " << e.what());
    return false;
  }
  return Database::getInstance()->setString(origin.get_key(), value);
}
