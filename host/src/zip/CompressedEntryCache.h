// The deflated form of the last large file added to a written archive, kept as a one-entry zip
// archive in memory, so that a file going unchanged into package after package (a database
// snapshot in every reply) is deflated once and its compressed data copied afterwards.
// Thread safety: a mutex guards the cached entry; the archive bytes handed out are immutable.
#pragma once

#include <sys/stat.h>

#include <zip.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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

  // What tells one file from another without reading it: any change of a file's bytes or times
  // sets its ctime, which no caller can set back, and a file made anew gets a new ctime even on a
  // reused inode. Only a file whose ctime lies kSettledNs in the past is identified so, so that a
  // second change within one clock tick cannot go unnoticed.
  struct Identity {
    dev_t device;
    ino_t inode;
    off_t size;
    long long ctimeNs;
    bool operator==(const Identity& o) const {
      return device == o.device && inode == o.inode && size == o.size && ctimeNs == o.ctimeNs;
    }
  };
  static constexpr long long kSettledNs = 100 * 1000 * 1000;

  // The process-wide cache.
  static CompressedEntryCache& instance();

  // Sets `identity` from `st` when the file it describes is settled; returns false otherwise.
  static bool settledIdentity(const struct stat& st, Identity* identity);
  // The cached archive when it was made from the settled file `identity` at `level`; null
  // otherwise (the caller then reads the file and calls deflated).
  std::shared_ptr<const std::string> deflatedFor(const Identity& identity, zip_uint32_t level);

  // Returns a one-entry zip archive (entry index 0) whose entry is `bytes` deflated at `level`:
  // the cached one when it holds exactly these bytes at that level, otherwise a new one that
  // replaces it. Returns null when libzip fails (the caller then adds the file as usual).
  // The returned bytes stay valid for as long as the caller holds them.
  // `identity`, when not null, names the settled file the bytes were read from (see deflatedFor).
  std::shared_ptr<const std::string> deflated(std::string_view bytes, zip_uint32_t level,
                                              const Identity* identity = nullptr);

 private:
  std::mutex mutex_;
  std::string bytes_;                           // guarded by mutex_: the raw bytes cached
  zip_uint32_t level_ = 0;                      // guarded by mutex_
  std::shared_ptr<const std::string> archive_;  // guarded by mutex_: null while nothing is cached
  std::optional<Identity> identity_;            // guarded by mutex_: the settled file bytes_ came from
};

}  // namespace zipdetail
