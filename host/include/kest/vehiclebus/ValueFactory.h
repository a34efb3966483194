// Builds numeric signals from the signal elements of the configuration schema.
// Thread safety: stateless; create() may be called from any thread.
#pragma once

#include <memory>

#include "kest/Export.h"
#include "kest/vehiclebus/Value.h"
#include "kolconfig/Types.h"

namespace VehicleBus {

class KEST_EXPORT ValueFactory {
 public:
  // Returns a value registered with BusDispatcher::instance() for an ArrayValueSignal; null for any
  // other kind or a definition that can never decode (as SignalFactory), logged at ERROR.
  static std::shared_ptr<Value> create(const Sarnet_Configuration::Types::ValueSignal& config);
};

}  // namespace VehicleBus
