#include "vehiclebus/BitField.h"

#include <algorithm>
#include <sstream>

namespace VehicleBus {

namespace {

constexpr int kFrameBits = static_cast<int>(CanFrame::kMaxData) * 8;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::optional<BitField> BitField::make(int startBit, int length, bool bigEndian, std::string* why) {
  std::ostringstream reason;
  // The field's most and least significant bits as positions in the frame read as one bit stream:
  // little-endian from bit 0 of byte 0 upwards, big-endian from bit 7 of byte 0 downwards.
  int first = 0;
  int last = 0;
  if (length < 1 || length > 64) {
    reason << "length " << length << " is not 1..64 bits";
  } else if (startBit < 0 || startBit >= kFrameBits) {
    reason << "startBit " << startBit << " is outside a " << CanFrame::kMaxData << "-byte frame";
  } else {
    first = bigEndian ? startBit / 8 * 8 + 7 - startBit % 8 : startBit;
    last = first + length - 1;
    if (last >= kFrameBits) {
      reason << (bigEndian ? "big" : "little") << "-endian bits from startBit " << startBit << " over " << length
             << " bits run past a " << CanFrame::kMaxData << "-byte frame";
    }
  }
  if (reason.tellp() != 0) {
    *why = reason.str();
    return std::nullopt;
  }
  BitField field;
  field.bigEndian_ = bigEndian;
  field.length_ = length;
  field.bytesNeeded_ = static_cast<std::size_t>(last / 8) + 1;
  // The word starts at the field's first byte, or earlier when that would read past the frame;
  // a field that does not fit the word then ends in the byte after it.
  field.offset_ = std::min(static_cast<std::size_t>(first / 8), CanFrame::kMaxData - kWordBytes);
  const int firstInWord = first - static_cast<int>(field.offset_) * 8;
  const int lastInWord = last - static_cast<int>(field.offset_) * 8;
  field.ninthByte_ = lastInWord >= 64;
  if (bigEndian) {
    field.shift_ = static_cast<unsigned>(field.ninthByte_ ? 71 - lastInWord : 63 - lastInWord);
  } else {
    field.shift_ = static_cast<unsigned>(firstInWord);
  }
  field.mask_ = length == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
  field.signBit_ = std::uint64_t{1} << (length - 1);
  return field;
}

bool resolveIdentifier(bool hasId, std::uint32_t id, bool hasExtended, bool extended, bool* isExtended,
                       std::string* why) {
  if (!hasId) {
    *why = "no canId";
    return false;
  }
  *isExtended = hasExtended ? extended : id > CanFrame::kMaxStandardId;
  const std::uint32_t limit = *isExtended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId;
  if (id > limit) {
    std::ostringstream reason;
    reason << "canId 0x" << std::hex << std::uppercase << id << std::dec << " exceeds " << (*isExtended ? 29 : 11)
           << " bits";
    *why = reason.str();
    return false;
  }
  return true;
}

bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes) {
  std::size_t pos = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    pos = 2;
  }
  const std::size_t digits = text.size() - pos;
  if (digits == 0 || digits % 2 != 0) {
    return false;
  }
  bytes->clear();
  bytes->reserve(digits / 2);
  for (; pos < text.size(); pos += 2) {
    const int high = hexDigit(text[pos]);
    const int low = hexDigit(text[pos + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

}  // namespace VehicleBus
