// Where a signal's bits sit in a frame of up to 64 bytes (CAN FD), checked and precomputed once so
// that decoding is a load at a fixed offset, a shift and a mask. Also the checks of identifiers and
// hexadecimal byte texts that the signal factories share.
// Thread safety: immutable values and pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // Returns the field, or nothing with `*why` set when the length is not 1..64 or the bits do not
  // fit a 64-byte frame.
  static std::optional<BitField> make(int startBit, int length, bool bigEndian, std::string* why);

  // Bytes a frame must carry for the field to be decoded.
  std::size_t bytesNeeded() const { return bytesNeeded_; }
  // The unsigned raw value of the field in `data`.
  // REQUIRES: `data` has CanFrame::kMaxData readable bytes (a whole CanFrame::data; those past the
  // frame's length are read but the caller decodes only frames of at least bytesNeeded() bytes).
  std::uint64_t extract(const std::uint8_t* data) const {
    const std::uint8_t* const at = data + offset_;
    std::uint64_t word = 0;
    if (bigEndian_) {
      word = loadBigEndian(at);
      // A ninth byte holds the least significant bits: shift_ of them are below the field.
      word = ninthByte_ ? (word << (8 - shift_)) | (at[8] >> shift_) : word >> shift_;
    } else {
      word = loadLittleEndian(at);
      // A ninth byte holds the most significant bits; shift_ is at least 1 then.
      word = ninthByte_ ? (word >> shift_) | (static_cast<std::uint64_t>(at[8]) << (64 - shift_)) : word >> shift_;
    }
    return word & mask_;
  }
  // The 8 bytes at `data` as one word, byte 0 least significant: one unaligned load.
  static std::uint64_t loadLittleEndian(const std::uint8_t* data) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, sizeof word);
    return kHostLittleEndian ? word : __builtin_bswap64(word);
  }
  // The 8 bytes at `data` as one word, byte 0 most significant: one unaligned load.
  static std::uint64_t loadBigEndian(const std::uint8_t* data) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, sizeof word);
    return kHostLittleEndian ? __builtin_bswap64(word) : word;
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
  static constexpr std::size_t kWordBytes = 8;
  static constexpr bool kHostLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

  BitField() = default;
  bool bigEndian_ = false;
  bool ninthByte_ = false;  // the field spans the 8 bytes from offset_ and the one after them
  int length_ = 0;
  std::size_t offset_ = 0;  // first byte of the 64-bit word read, at most kMaxData - 8
  // Without ninthByte_: the word bit of the field's least significant bit. With it: the bits of
  // the ninth byte below the field (big-endian) or of the first byte below it (little-endian).
  unsigned shift_ = 0;
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
