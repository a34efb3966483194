// One CAN frame as the vehicle-bus framework sees it, whatever source delivered it: a classical
// frame of up to 8 data bytes or a CAN FD frame of up to 64.
// Thread safety: a plain value type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kest/Export.h"

namespace VehicleBus {

struct KEST_EXPORT CanFrame {
  static constexpr std::size_t kMaxClassicData = 8;            // classical CAN
  static constexpr std::size_t kMaxData = 64;                  // CAN FD
  static constexpr std::uint32_t kMaxStandardId = 0x7FF;       // 11 bits
  static constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;  // 29 bits
  // Bits of fdFlags.
  static constexpr std::uint8_t kBitRateSwitch = 0x1;
  static constexpr std::uint8_t kErrorStateIndicator = 0x2;

  // Whether a CAN FD frame may carry `length` data bytes: 0-8, 12, 16, 20, 24, 32, 48 or 64.
  static constexpr bool isFdLength(std::size_t length) {
    return length <= kMaxClassicData || length == 12 || length == 16 || length == 20 || length == 24 || length == 32 ||
           length == 48 || length == 64;
  }

  std::uint32_t id = 0;     // at most kMaxStandardId, or kMaxExtendedId when `extended`
  bool extended = false;    // a 29-bit identifier
  bool remote = false;      // a remote-transmission request (classical only): carries no data, decodes nothing
  std::uint8_t length = 0;  // data bytes used: at most kMaxClassicData, or an FD length when `fd`
  std::array<std::uint8_t, kMaxData> data{};  // bytes past `length` are zero or stale, never decoded
  std::int64_t timestampUs = 0;               // microseconds since the epoch: the log's time stamp or the arrival time
  bool fd = false;                            // a CAN FD frame
  std::uint8_t fdFlags = 0;                   // FD only: the flags nibble (kBitRateSwitch, kErrorStateIndicator)
};

}  // namespace VehicleBus
