// Told when a vehicle property of the vehicle-property library changes.
// Thread safety: called on the library's own thread (or whichever thread reported the change).
#pragma once

#include "kolconfig/Types.h"

namespace VehicleProperties {

class VehiclePropertyEventListener {
 public:
  virtual ~VehiclePropertyEventListener() = default;
  // `property` changed to `value`. Must not throw.
  virtual void vehiclePropertyEvent(Sarnet_Configuration::Types::VehiclePropertyType::Enum property, bool value) = 0;
};

}  // namespace VehicleProperties
