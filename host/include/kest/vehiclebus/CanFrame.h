// One CAN frame as the vehicle-bus framework sees it, whatever source delivered it.
// Thread safety: a plain value type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kest/Export.h"

namespace VehicleBus {

struct KEST_EXPORT CanFrame {
  static constexpr std::size_t kMaxData = 8;                   // classical CAN
  static constexpr std::uint32_t kMaxStandardId = 0x7FF;       // 11 bits
  static constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;  // 29 bits

  std::uint32_t id = 0;     // at most kMaxStandardId, or kMaxExtendedId when `extended`
  bool extended = false;    // a 29-bit identifier
  bool remote = false;      // a remote-transmission request: carries no data, decodes nothing
  std::uint8_t length = 0;  // data bytes used, at most kMaxData
  std::array<std::uint8_t, kMaxData> data{};
  std::int64_t timestampUs = 0;  // microseconds since the epoch: the log's time stamp or the arrival time
};

}  // namespace VehicleBus
