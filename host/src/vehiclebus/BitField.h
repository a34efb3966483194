// Where a signal's bits sit in a frame of at most 8 bytes, checked and precomputed once so that
// decoding is a load, a shift and a mask. Also the checks of identifiers and hexadecimal byte texts
// that the signal factories share.
// Thread safety: immutable values and pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kest/vehiclebus/CanFrame.h"

namespace VehicleBus {

// A run of up to 64 bits in DBC numbering: bit i is bit i%8 of byte i/8. Little-endian (Intel):
// `startBit` is the least significant bit and the bits run upwards. Big-endian (Motorola):
// `startBit` is the most significant bit and the bits run downwards within a byte and on into
// the next byte.
class BitField {
 public:
  // Returns the field, or nothing with `*why` set when the bits do not fit an 8-byte frame or the
  // length is not 1..64.
  static std::optional<BitField> make(int startBit, int length, bool bigEndian, std::string* why);

  // Bytes a frame must carry for the field to be decoded.
  std::size_t bytesNeeded() const { return bytesNeeded_; }
  // The unsigned raw value of the field in `data`.
  // REQUIRES: `data` has 8 readable bytes (those past the frame's length are read but the caller
  // decodes only frames of at least bytesNeeded() bytes).
  std::uint64_t extract(const std::uint8_t* data) const {
    return ((bigEndian_ ? loadBigEndian(data) : loadLittleEndian(data)) >> shift_) & mask_;
  }
  // The 8 bytes at `data` as one word, byte 0 least significant.
  static std::uint64_t loadLittleEndian(const std::uint8_t* data) {
    std::uint64_t word = 0;
    for (std::size_t i = CanFrame::kMaxData; i-- > 0;) {
      word = (word << 8) | data[i];
    }
    return word;
  }
  // The 8 bytes at `data` as one word, byte 0 most significant.
  static std::uint64_t loadBigEndian(const std::uint8_t* data) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < CanFrame::kMaxData; ++i) {
      word = (word << 8) | data[i];
    }
    return word;
  }
  // `raw` read as a two's complement number of length() bits.
  std::int64_t toSigned(std::uint64_t raw) const {
    if (length_ < 64 && (raw & signBit_) != 0) {
      raw |= ~mask_;
    }
    return static_cast<std::int64_t>(raw);
  }
  int length() const { return length_; }

 private:
  BitField() = default;
  bool bigEndian_ = false;
  int length_ = 0;
  unsigned shift_ = 0;  // of the least significant bit in the frame read as one 64-bit word
  std::uint64_t mask_ = 0;
  std::uint64_t signBit_ = 0;
  std::size_t bytesNeeded_ = 0;
};

// The frame a definition names: checks that an identifier was given and fits 11 bits (29 when
// extended); `extended` absent means extended exactly when the identifier needs more than 11 bits.
// Returns false with `*why` set when it does not.
bool resolveIdentifier(bool hasId, std::uint32_t id, bool hasExtended, bool extended, bool* isExtended,
                       std::string* why);

// Parses whole hexadecimal bytes ("0A1b", optionally "0x"-prefixed) into `*bytes`. Returns false
// for an empty text, an odd number of digits or a character that is not a hexadecimal digit.
bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes);

}  // namespace VehicleBus
