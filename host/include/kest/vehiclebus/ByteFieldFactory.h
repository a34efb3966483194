// Builds byte fields from the signal elements of the configuration schema.
// Thread safety: stateless; create() may be called from any thread.
#pragma once

#include <memory>

#include "kest/Export.h"
#include "kest/vehiclebus/ByteField.h"
#include "kolconfig/Types.h"

namespace VehicleBus {

class BusDispatcher;

class KEST_EXPORT ByteFieldFactory {
 public:
  // Returns a byte field registered with `dispatcher` for a RawCanByteFieldSignal or a
  // J1939ByteFieldSignal; null for any other kind or a definition that can never decode (an
  // identifier or group number out of range, bytes outside the largest message), logged at ERROR.
  // The byte field keeps `dispatcher` for its lifetime. REQUIRES: dispatcher != nullptr.
  static std::shared_ptr<ByteField> create(const Sarnet_Configuration::Types::ByteFieldSignal& config,
                                           std::shared_ptr<BusDispatcher> dispatcher);
};

}  // namespace VehicleBus
