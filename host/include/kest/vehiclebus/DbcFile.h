// The content of a DBC bus description as far as properties and decoding need it: messages with
// their signals, comments and value tables, text already converted to UTF-8.
// Thread safety: plain value types.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kest/Export.h"

namespace VehicleBus {

struct KEST_EXPORT DbcSignal {
  enum class Multiplex { kNone, kMultiplexor, kMultiplexed };
  enum class ValueType { kInteger, kFloat32, kFloat64 };

  std::string name;
  int startBit = 0;        // little-endian: the least significant bit; big-endian: the most
                           // significant bit, in the frame's bit numbering (bit 7 of byte 0 is 7)
  int length = 0;          // in bits, as written (not checked against the frame)
  bool bigEndian = false;  // "@0"; "@1" is little-endian
  bool isSigned = false;   // "-"; "+" is unsigned
  double factor = 1.0;
  double offset = 0.0;
  double minimum = 0.0;
  double maximum = 0.0;
  std::string unit;
  std::string comment;  // from CM_ SG_, empty when none
  Multiplex multiplex = Multiplex::kNone;
  std::uint32_t multiplexValue = 0;                              // the switch value, for kMultiplexed only
  ValueType valueType = ValueType::kInteger;                     // from SIG_VALTYPE_
  std::vector<std::pair<std::int64_t, std::string>> valueTable;  // from VAL_, in file order
  std::vector<std::string> receivers;
  int line = 0;  // the line of its SG_ entry, counted from 1

  // Why a provisioning configuration cannot express this signal ("multiplexed signal",
  // "IEEE float signal", "length 65 over 64 bits"...), or an empty text when it can. Bits that
  // do not fit the message are left to the bit-field check, which knows the frame size.
  std::string unsupportedReason() const {
    if (multiplex == Multiplex::kMultiplexed) return "multiplexed signal";
    if (valueType != ValueType::kInteger) return "IEEE float signal";
    if (length < 1 || length > 64) return "length " + std::to_string(length) + " not within 1..64 bits";
    return {};
  }
};

struct KEST_EXPORT DbcMessage {
  std::uint32_t id = 0;   // the CAN identifier, the DBC's extended flag (bit 31) removed
  bool extended = false;  // the DBC identifier had bit 31 set: a 29-bit identifier
  std::string name;
  unsigned length = 0;             // the DLC in bytes as written (up to 64 for CAN FD)
  std::string transmitter;         // "Vector__XXX" when the file names none
  std::string comment;             // from CM_ BO_, empty when none
  std::vector<DbcSignal> signals;  // in file order
  int line = 0;                    // the line of its BO_ entry, counted from 1
};

struct KEST_EXPORT DbcFile {
  std::string version;               // VERSION "..."; empty when absent
  std::vector<std::string> nodes;    // BU_
  std::vector<DbcMessage> messages;  // in file order
};

}  // namespace VehicleBus
