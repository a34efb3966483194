// A store boolean standing for a vehicle property (its key names a VehiclePropertyType value).
// Thread safety: as DatabaseProperty; the vehicle listener pointer is an atomic.
#pragma once

#include <atomic>
#include <string>

#include "libraries/VehiclePropertyEventListener.h"
#include "properties/DatabaseProperty.h"

class DatabaseVehicleProperty : public DatabaseProperty {
 public:
  explicit DatabaseVehicleProperty(const Sarnet_Configuration::Types::PersistedBooleanPropertyOrigin& origin);
  ~DatabaseVehicleProperty() override;

  // Sets (or clears) the vehicle-property listener. Not owned; REQUIRES: valid until cleared.
  void setVehicleListener(VehicleProperties::VehiclePropertyEventListener* listener) {
    vehicleListener_.store(listener);
  }

 protected:
  // Turns the key into its VehiclePropertyType (throws XSDEnumException "Unable to parse the enum
  // value " + key for a key outside the enumeration) and calls vehiclePropertyEvent.
  void changed(const std::string& key, bool value) override;

 private:
  std::atomic<VehicleProperties::VehiclePropertyEventListener*> vehicleListener_{nullptr};
};
