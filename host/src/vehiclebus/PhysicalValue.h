// The physical value of a numeric signal, computed in one place so that the daemon's values and
// the decoding tool's agree to the last bit.
// Thread safety: a pure function.
#pragma once

#include <cstdint>

#include "vehiclebus/BitField.h"

namespace VehicleBus {

// Raw bits of `bits` in `data` (two's complement when `isSigned`) x `factor` + `offset`.
// REQUIRES: as BitField::extract, and the frame carries at least bits.bytesNeeded() bytes.
inline double physicalValue(const BitField& bits, bool isSigned, double factor, double offset,
                            const std::uint8_t* data) {
  const std::uint64_t raw = bits.extract(data);
  const double number = isSigned ? static_cast<double>(bits.toSigned(raw)) : static_cast<double>(raw);
  return number * factor + offset;
}

}  // namespace VehicleBus
