#include "properties/DatabaseVehicleProperty.h"

namespace Types = Sarnet_Configuration::Types;

DatabaseVehicleProperty::DatabaseVehicleProperty(const Types::PersistedBooleanPropertyOrigin& origin)
    : DatabaseProperty(origin) {}

DatabaseVehicleProperty::~DatabaseVehicleProperty() = default;

void DatabaseVehicleProperty::changed(const std::string& key, bool value) {
  VehicleProperties::VehiclePropertyEventListener* const listener = vehicleListener_.load();
  if (listener == nullptr) return;
  listener->vehiclePropertyEvent(Types::VehiclePropertyType::parse(key), value);
}
