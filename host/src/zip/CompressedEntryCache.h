// The deflated form of the last large file added to a written archive, kept as a one-entry zip
// archive in memory, so that a file going unchanged into package after package (a database
// snapshot in every reply) is deflated once and its compressed data copied afterwards.
// Thread safety: a mutex guards the cached entry; the archive bytes handed out are immutable.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zipdetail {

class CompressedEntryCache {
 public:
  // Files outside [kMinFileSize, kMaxFileSize] are not cached: below, deflating costs less than
  // comparing; above, the memory is not worth it. The cache holds at most the raw bytes of one
  // file and its compressed archive: about 2 * kMaxFileSize (2 MiB) at worst.
  static constexpr uint64_t kMinFileSize = 16 * 1024;
  static constexpr uint64_t kMaxFileSize = 1024 * 1024;

  // The process-wide cache.
  static CompressedEntryCache& instance();

  // Returns a one-entry zip archive (entry index 0) whose entry is `bytes` deflated at `level`:
  // the cached one when it holds exactly these bytes at that level, otherwise a new one that
  // replaces it. Returns null when libzip fails (the caller then adds the file as usual).
  // The returned bytes stay valid for as long as the caller holds them.
  std::shared_ptr<const std::string> deflated(std::string_view bytes, zip_uint32_t level);

 private:
  std::mutex mutex_;
  std::string bytes_;                           // guarded by mutex_: the raw bytes cached
  zip_uint32_t level_ = 0;                      // guarded by mutex_
  std::shared_ptr<const std::string> archive_;  // guarded by mutex_: null while nothing is cached
};

}  // namespace zipdetail
