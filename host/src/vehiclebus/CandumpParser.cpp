// Reads candump log lines. Every field is checked character by character; nothing here allocates
// more than the (bounded) line and the frames asked for.
#include "kest/vehiclebus/CandumpParser.h"

#include <algorithm>
#include <cstdint>

namespace VehicleBus {

namespace {

constexpr std::size_t kMaxInterfaceLength = 15;  // IFNAMSIZ - 1
constexpr std::size_t kMaxEchoedBytes = 48;      // of a bad line, in an error text

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool isInterfaceChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

// At most kMaxEchoedBytes of `text` from `start`, printable ASCII only (other bytes become '?'), so
// an echo is always one short line of valid UTF-8, whatever the input held.
std::string echo(const std::string& text, std::size_t start, std::size_t length) {
  std::string out;
  for (std::size_t i = start; i < start + std::min(length, kMaxEchoedBytes); ++i)
    out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
  if (length > kMaxEchoedBytes) out += "...";
  return out;
}

bool fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// "(SECONDS.MICROSECONDS)": SECONDS up to 12 digits, exactly six fraction digits (fewer are read as
// a decimal fraction too, more are refused).
bool parseTimestamp(const std::string& text, std::int64_t* us, std::string* error) {
  if (text.size() < 3 || text.front() != '(' || text.back() != ')') return fail(error, "malformed time stamp");
  const std::string body = text.substr(1, text.size() - 2);
  const std::size_t dot = body.find('.');
  const std::string secs = body.substr(0, dot);
  const std::string frac = dot == std::string::npos ? std::string() : body.substr(dot + 1);
  if (secs.empty() || secs.size() > 12 || frac.size() > 6 || (dot != std::string::npos && frac.empty()))
    return fail(error, "malformed time stamp");
  std::int64_t seconds = 0;
  for (const char c : secs) {
    if (c < '0' || c > '9') return fail(error, "malformed time stamp");
    seconds = seconds * 10 + (c - '0');
  }
  std::int64_t micros = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    const char c = i < frac.size() ? frac[i] : '0';
    if (c < '0' || c > '9') return fail(error, "malformed time stamp");
    micros = micros * 10 + (c - '0');
  }
  *us = seconds * 1'000'000 + micros;
  return true;
}

// Hexadecimal bytes, optionally separated by single dots ("01.02"), into frame->data: at most 8,
// or for an FD frame at most 64 and a length CAN FD allows.
bool parseData(const std::string& text, std::size_t start, CanFrame* frame, std::string* error) {
  const std::size_t limit = frame->fd ? CanFrame::kMaxData : CanFrame::kMaxClassicData;
  std::size_t length = 0;
  for (std::size_t i = start; i < text.size();) {
    if (text[i] == '.' && i > start && i + 1 < text.size() && text[i - 1] != '.') {
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    if (high < 0) return fail(error, "data is not hexadecimal");
    if (low < 0) return fail(error, "data needs two hexadecimal digits per byte");
    if (length == limit) return fail(error, "more than " + std::to_string(limit) + " data bytes");
    frame->data[length++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  if (!CanFrame::isFdLength(length)) return fail(error, std::to_string(length) + " data bytes is not a CAN FD length");
  frame->length = static_cast<std::uint8_t>(length);
  return true;
}

// "ID#DATA", "ID#R", "ID#" or, for CAN FD, "ID##<flags nibble>DATA".
bool parseFrame(const std::string& text, CanFrame* frame, std::string* error) {
  const std::size_t hash = text.find('#');
  if (hash == std::string::npos) return fail(error, "no '#' between identifier and data");
  if (hash != 3 && hash != 8) return fail(error, "identifier needs 3 or 8 hexadecimal digits");
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < hash; ++i) {
    const int digit = hexValue(text[i]);
    if (digit < 0) return fail(error, "identifier is not hexadecimal");
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  frame->extended = hash == 8;
  if (value > (frame->extended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId))
    return fail(error, frame->extended ? "identifier exceeds 29 bits" : "identifier exceeds 11 bits");
  frame->id = static_cast<std::uint32_t>(value);

  std::size_t data = hash + 1;
  if (data < text.size() && text[data] == '#') {
    if (data + 1 == text.size()) return fail(error, "CAN FD flags nibble missing");
    const int flags = hexValue(text[data + 1]);
    if (flags < 0) return fail(error, "CAN FD flags nibble is not hexadecimal");
    frame->fd = true;
    frame->fdFlags = static_cast<std::uint8_t>(flags);
    data += 2;
  } else if (text.size() == data + 1 && (text[data] == 'R' || text[data] == 'r')) {
    frame->remote = true;
    frame->length = 0;
    return true;
  }
  return parseData(text, data, frame, error);
}

}  // namespace

std::optional<ParsedFrame> CandumpParser::parseLine(const std::string& line, std::string* error) {
  if (line.size() > kMaxLineLength) {
    fail(error, "line longer than " + std::to_string(kMaxLineLength) + " bytes");
    return std::nullopt;
  }
  // Split into at most three blank-separated fields.
  std::vector<std::string> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    if (fields.size() == 3) {
      fail(error, "too many fields");
      return std::nullopt;
    }
    fields.push_back(line.substr(start, i - start));
  }
  if (fields.empty()) {
    fail(error, "blank line");
    return std::nullopt;
  }
  ParsedFrame parsed;
  std::size_t next = 0;
  if (fields.size() >= 2 && fields[0].front() == '(') {
    if (!parseTimestamp(fields[0], &parsed.frame.timestampUs, error)) return std::nullopt;
    parsed.hasTimestamp = true;
    next = 1;
  }
  if (fields.size() - next == 2) {
    const std::string& name = fields[next];
    bool valid = name.size() <= kMaxInterfaceLength;
    for (const char c : name) valid = valid && isInterfaceChar(c);
    if (!valid) {
      fail(error, "bad interface name \"" + echo(name, 0, name.size()) + "\"");
      return std::nullopt;
    }
    parsed.interface = name;
    ++next;
  }
  if (fields.size() - next != 1) {
    fail(error, "expected [(TIME)] [INTERFACE] ID#DATA");
    return std::nullopt;
  }
  if (!parseFrame(fields[next], &parsed.frame, error)) return std::nullopt;
  return parsed;
}

bool CandumpParser::parseText(const std::string& text, std::size_t maxFrames, std::vector<ParsedFrame>* frames,
                              std::string* error) {
  frames->clear();
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++lineNumber;
    const std::size_t length = end - start;
    bool blank = true;
    for (std::size_t k = start; k < end && blank; ++k) blank = isBlank(text[k]);
    if (!blank) {
      std::string reason;
      std::optional<ParsedFrame> parsed;
      if (frames->size() == maxFrames) {
        reason = "more than " + std::to_string(maxFrames) + " frames";
      } else {
        // A line over the limit is refused without copying more of it than the echo shows.
        const std::string line = text.substr(start, std::min(length, kMaxLineLength + 1));
        parsed = parseLine(line, &reason);
      }
      if (!parsed) {
        if (error != nullptr) {
          *error = "line " + std::to_string(lineNumber) + ": " + reason + ": \"" + echo(text, start, length) + "\"";
        }
        frames->clear();
        frames->shrink_to_fit();
        return false;
      }
      frames->push_back(std::move(*parsed));
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return true;
}

}  // namespace VehicleBus
