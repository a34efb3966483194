// Reads frames in candump log form: "(1436509052.249713) sim0 18FEF100#00FF", "sim0 123#DEAD" or
// just "123#DEADBEEF"; "123#R" is a remote frame; "123##1DEADBEEF" is a CAN FD frame with its
// flags nibble (here: bit rate switch) before the data. Three hexadecimal identifier digits make a
// standard identifier, eight an extended one.
// Thread safety: stateless.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/vehiclebus/CanFrame.h"

namespace VehicleBus {

struct KEST_EXPORT ParsedFrame {
  std::string interface;  // empty when the line named none
  CanFrame frame;
  bool hasTimestamp = false;  // frame.timestampUs came from the line
};

class KEST_EXPORT CandumpParser {
 public:
  // The longest line read; a longer one is refused. Holds a stamped 64-byte FD frame of an
  // extended identifier on a 15-character interface, its bytes separated by dots.
  static constexpr std::size_t kMaxLineLength = 320;

  // Parses one line (no line break). Returns the frame, or nothing with a short reason in `error`
  // (which never repeats more than kMaxLineLength bytes of the line). Blank lines are refused too;
  // callers skip them before calling.
  static std::optional<ParsedFrame> parseLine(const std::string& line, std::string* error);
  // Parses every non-blank line of `text`; all or nothing. Returns false with `error` naming the
  // first bad line (its number and text, shortened) and leaves `frames` empty; `maxFrames` bounds
  // the count (more is refused the same way).
  static bool parseText(const std::string& text, std::size_t maxFrames, std::vector<ParsedFrame>* frames,
                        std::string* error);
};

}  // namespace VehicleBus
