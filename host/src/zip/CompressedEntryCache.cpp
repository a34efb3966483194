// CompressedEntryCache: one deflated entry, recognised by its raw bytes or its file's identity.
#include "zip/CompressedEntryCache.h"

#include <time.h>

#include <cstring>

#include "util/FilePieces.h"

namespace zipdetail {

CompressedEntryCache& CompressedEntryCache::instance() {
  static CompressedEntryCache cache;
  return cache;
}

bool CompressedEntryCache::settledIdentity(const struct stat& st, Identity* identity) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const long long ctimeNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  if (ctimeNs + kSettledNs > now.tv_sec * 1000000000LL + now.tv_nsec) return false;
  *identity = Identity{st.st_dev, st.st_ino, st.st_size, ctimeNs};
  return true;
}

std::shared_ptr<const DeflatedEntry> CompressedEntryCache::deflatedFor(const Identity& identity, zip_uint32_t level) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (entry_ == nullptr || entry_->level() != level || !identity_.has_value() || !(*identity_ == identity)) {
    return nullptr;
  }
  return entry_;
}

std::shared_ptr<const DeflatedEntry> CompressedEntryCache::matching(int fd, uint64_t size, zip_uint32_t level,
                                                                    const Identity* identity) {
  std::shared_ptr<const DeflatedEntry> entry;
  std::shared_ptr<const std::string> bytes;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (entry_ == nullptr || entry_->level() != level || bytes_->size() != size) return nullptr;
    entry = entry_;
    bytes = bytes_;
  }
  // Compared outside the lock: the cached bytes are immutable and kept alive by `bytes`.
  uint64_t offset = 0;
  bool same = true;
  const int64_t read = kestutil::forEachPiece(fd, [&](const char* data, size_t got) {
    same = got <= size - offset && std::memcmp(data, bytes->data() + offset, got) == 0;  // not longer, not different
    offset += got;
    return same;
  });
  if (read < 0 || !same || offset != size) return nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (identity != nullptr && entry_ == entry) identity_ = *identity;
  return entry;
}

std::shared_ptr<const DeflatedEntry> CompressedEntryCache::deflated(std::string_view bytes, zip_uint32_t level,
                                                                    zip_error_t* error, const Identity* identity) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (entry_ != nullptr && entry_->level() == level && *bytes_ == bytes) {
      if (identity != nullptr) identity_ = *identity;
      return entry_;
    }
  }
  // Deflated outside the lock: another archive may meanwhile use (or replace) the cached entry.
  std::shared_ptr<const DeflatedEntry> entry = DeflatedEntry::deflate(bytes, level, error);
  if (entry == nullptr) return nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  bytes_ = std::make_shared<const std::string>(bytes);
  entry_ = entry;
  identity_.reset();
  if (identity != nullptr) identity_ = *identity;
  return entry;
}

}  // namespace zipdetail
