// DeflatedEntry: the content of one archive entry, deflated in memory by zlib, and the libzip
// source that hands it to an archive as finished compressed data, with its CRC and sizes known
// before libzip writes the entry. libzip would otherwise deflate each entry through a stack of its
// own layered sources with zlib's largest state, which for the small entries of a result package
// costs several times the compression itself.
// Thread safety: an entry is immutable once made; any number of sources and threads may share it.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zipdetail {

class DeflatedEntry {
 public:
  // Returns `bytes` deflated at `level` (1 to 9) as a raw deflate stream, the form a zip entry
  // holds; null with `error` set (ZIP_ER_MEMORY, ZIP_ER_ZLIB) when zlib fails.
  static std::shared_ptr<const DeflatedEntry> deflate(std::string_view bytes, zip_uint32_t level, zip_error_t* error);

  // Returns a libzip source that gives libzip `entry` as deflated data (method deflate, the
  // entry's CRC and sizes, the flags libzip itself sets for `level`), or null with `error` set.
  // The source keeps `entry` alive; the caller owns the source until libzip takes it.
  // REQUIRES: entry != nullptr.
  static zip_source_t* source(std::shared_ptr<const DeflatedEntry> entry, zip_error_t* error);

  uint64_t size() const { return size_; }
  uint32_t crc() const { return crc_; }
  zip_uint32_t level() const { return level_; }
  const std::string& compressed() const { return compressed_; }

 private:
  DeflatedEntry(std::string compressed, uint64_t size, uint32_t crc, zip_uint32_t level)
      : compressed_(std::move(compressed)), size_(size), crc_(crc), level_(level) {}

  const std::string compressed_;
  const uint64_t size_;
  const uint32_t crc_;
  const zip_uint32_t level_;
};

}  // namespace zipdetail
