// Builds numeric signals from the signal elements of the configuration schema.
// Thread safety: stateless; create() may be called from any thread.
#pragma once

#include <memory>

#include "kest/Export.h"
#include "kest/vehiclebus/Value.h"
#include "kolconfig/Types.h"

namespace VehicleBus {

class BusDispatcher;

class KEST_EXPORT ValueFactory {
 public:
  // Returns a value registered with `dispatcher` for an ArrayValueSignal; null for any
  // other kind or a definition that can never decode (as SignalFactory), logged at ERROR.
  // The value keeps `dispatcher` for its lifetime. REQUIRES: dispatcher != nullptr.
  static std::shared_ptr<Value> create(const Sarnet_Configuration::Types::ValueSignal& config,
                                       std::shared_ptr<BusDispatcher> dispatcher);
};

}  // namespace VehicleBus
