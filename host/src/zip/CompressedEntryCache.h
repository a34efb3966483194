// The deflated form of the last large file added to a written archive, kept in memory, so that a
// file going unchanged into package after package (a database snapshot in every reply) is
// deflated once and its compressed data copied afterwards.
// Thread safety: a mutex guards the cached entry; the entries handed out are immutable.
#pragma once

#include <sys/stat.h>

#include <zip.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "zip/DeflatedEntry.h"

namespace zipdetail {

class CompressedEntryCache {
 public:
  // Files outside [kMinFileSize, kMaxFileSize] are not cached: below, deflating costs less than
  // comparing; above, the memory is not worth it. The cache holds at most the raw bytes of one
  // file and its deflated form: about 2 * kMaxFileSize (2 MiB) at worst.
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
  // The cached entry when it was made from the settled file `identity` at `level`; null
  // otherwise (the caller then reads the file and calls deflated).
  std::shared_ptr<const DeflatedEntry> deflatedFor(const Identity& identity, zip_uint32_t level);

  // The cached entry when the open file `fd`, read from its start, holds exactly the cached raw
  // bytes (`size` of them) and the entry was made at `level`; null otherwise or when reading
  // fails. The file is read piece by piece into a small buffer: no copy of it is made. On a match,
  // `identity` (when not null) becomes the entry's, as with deflated.
  std::shared_ptr<const DeflatedEntry> matching(int fd, uint64_t size, zip_uint32_t level,
                                                const Identity* identity = nullptr);

  // Returns `bytes` deflated at `level`: the cached entry when it holds exactly these bytes at
  // that level, otherwise a new one that replaces it. Returns null with `error` set when zlib
  // fails. `identity`, when not null, names the settled file the bytes were read from (see
  // deflatedFor).
  std::shared_ptr<const DeflatedEntry> deflated(std::string_view bytes, zip_uint32_t level, zip_error_t* error,
                                                const Identity* identity = nullptr);

 private:
  std::mutex mutex_;
  std::shared_ptr<const std::string> bytes_;    // guarded by mutex_: the raw bytes of entry_
  std::shared_ptr<const DeflatedEntry> entry_;  // guarded by mutex_: null while nothing is cached
  std::optional<Identity> identity_;            // guarded by mutex_: the settled file bytes_ came from
};

}  // namespace zipdetail
