// Writes decoded frames as text: per frame "[(TIME) ][INTERFACE ]ID MESSAGE", then one line
// "  MESSAGE.SIGNAL = VALUE[ UNIT]" per decoded signal, VALUE written as the daemon writes the
// value of a numeric bus property (six significant digits, so a 1-bit signal reads 0 or 1).
// Thread safety: immutable once built; append() is reentrant.
#pragma once

#include <string>
#include <vector>

#include "kest/vehiclebus/CandumpParser.h"
#include "kest/vehiclebus/FrameDecoder.h"

class DecodedFramePrinter {
 public:
  // Prepares the text of every signal of `decoder`, which is not kept.
  explicit DecodedFramePrinter(const VehicleBus::FrameDecoder& decoder);

  // Appends the lines of `frame` whose signals are `values` (from the decoder this printer was
  // built from) to `*out`. Nothing for no values.
  void append(const VehicleBus::ParsedFrame& frame, const std::vector<VehicleBus::FrameDecoder::Decoded>& values,
              std::string* out) const;
  // Appends `value` as the daemon writes a numeric property value ("1200.5", "-40", "1e+06").
  static void appendNumber(double value, std::string* out);
  // `text` with every ASCII control character as '?': names and units from a file never move the
  // terminal's cursor (UTF-8 text such as "°C" stays).
  static std::string printable(const std::string& text);

 private:
  struct Label {
    std::string message;  // " MESSAGE\n", the end of a frame's first line
    std::string name;     // "  MESSAGE.SIGNAL = "
    std::string unit;     // " UNIT\n" or "\n"
  };
  std::vector<Label> labels_;  // by FrameDecoder::Decoded::index
};
