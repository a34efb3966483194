#include "DecodedFramePrinter.h"

#include <charconv>
#include <cstdint>

namespace {

// Appends `value` in `digits` hexadecimal digits, upper case.
void appendHex(std::uint32_t value, int digits, std::string* out) {
  static const char* const kHex = "0123456789ABCDEF";
  for (int d = digits - 1; d >= 0; --d) *out += kHex[(value >> (4 * d)) & 0xF];
}

}  // namespace

DecodedFramePrinter::DecodedFramePrinter(const VehicleBus::FrameDecoder& decoder) {
  labels_.reserve(decoder.signals().size());
  for (const VehicleBus::FrameDecoder::Entry& entry : decoder.signals()) {
    const std::string message = printable(entry.message->name);
    const std::string unit = printable(entry.signal->unit);
    labels_.push_back({" " + message + "\n", "  " + message + "." + printable(entry.signal->name) + " = ",
                       unit.empty() ? "\n" : " " + unit + "\n"});
  }
}

void DecodedFramePrinter::append(const VehicleBus::ParsedFrame& parsed,
                                 const std::vector<VehicleBus::FrameDecoder::Decoded>& values, std::string* out) const {
  if (values.empty()) return;
  const VehicleBus::CanFrame& frame = parsed.frame;
  if (parsed.hasTimestamp) {
    char stamp[48];
    const auto seconds = std::to_chars(stamp, stamp + sizeof stamp, frame.timestampUs / 1'000'000).ptr;
    const std::int64_t micros = frame.timestampUs % 1'000'000;
    *out += '(';
    out->append(stamp, seconds) += '.';
    for (std::int64_t unit = 100'000; unit > 0; unit /= 10) *out += static_cast<char>('0' + micros / unit % 10);
    *out += ") ";
  }
  if (!parsed.interface.empty()) out->append(parsed.interface) += ' ';
  appendHex(frame.id, frame.extended ? 8 : 3, out);
  *out += labels_[values.front().index].message;
  for (const VehicleBus::FrameDecoder::Decoded& value : values) {
    const Label& label = labels_[value.index];
    *out += label.name;
    appendNumber(value.physical, out);
    *out += label.unit;
  }
}

void DecodedFramePrinter::appendNumber(double value, std::string* out) {
  // The daemon streams the double with the stream defaults, which is printf's "%g": the shortest
  // of fixed and exponent notation at six significant digits.
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6).ptr;
  out->append(text, end);
}

std::string DecodedFramePrinter::printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}
