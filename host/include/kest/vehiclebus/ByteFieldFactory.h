// Builds byte fields from the signal elements of the configuration schema.
// Thread safety: stateless; create() may be called from any thread.
#pragma once

#include <memory>

#include "kest/Export.h"
#include "kest/vehiclebus/ByteField.h"
#include "kolconfig/Types.h"

namespace VehicleBus {

class KEST_EXPORT ByteFieldFactory {
 public:
  // Returns a byte field registered with BusDispatcher::instance() for a RawCanByteFieldSignal or a
  // J1939ByteFieldSignal; null for any other kind or a definition that can never decode (an
  // identifier or group number out of range, bytes outside the largest message), logged at ERROR.
  static std::shared_ptr<ByteField> create(const Sarnet_Configuration::Types::ByteFieldSignal& config);
};

}  // namespace VehicleBus
