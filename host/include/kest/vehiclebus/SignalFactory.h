// Builds boolean signals from the signal elements of the configuration schema.
// Thread safety: stateless; create() may be called from any thread.
#pragma once

#include <memory>

#include "kest/Export.h"
#include "kest/vehiclebus/Signal.h"
#include "kolconfig/Types.h"

namespace VehicleBus {

class BusDispatcher;

class KEST_EXPORT SignalFactory {
 public:
  // Returns a signal registered with `dispatcher` for a BytefieldMatchBooleanSignal
  // or a ValueRangeBooleanSignal. Returns null for any other kind, and for a definition that can
  // never decode (no identifier, an identifier over 11 or 29 bits, bits or bytes outside an 8-byte
  // frame, a length of 0 or over 64 bits, mask or match text that is not hexadecimal bytes), each
  // logged at ERROR with the reason. Never throws for a bad definition.
  // The signal keeps `dispatcher` for its lifetime. REQUIRES: dispatcher != nullptr.
  static std::shared_ptr<Signal> create(const Sarnet_Configuration::Types::BooleanSignal& config,
                                        std::shared_ptr<BusDispatcher> dispatcher);
};

}  // namespace VehicleBus
