// CompressedEntryCache: builds the one-entry archive in a libzip buffer source.
#include "zip/CompressedEntryCache.h"

#include <time.h>

namespace zipdetail {

namespace {

struct SourceFree {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using SourcePtr = std::unique_ptr<zip_source_t, SourceFree>;

struct ArchiveDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

// The bytes of a zip archive holding `bytes` as its only entry, deflated at `level`; null when
// libzip fails.
std::shared_ptr<const std::string> buildArchive(std::string_view bytes, zip_uint32_t level) {
  zip_error_t error;
  zip_error_init(&error);
  const SourcePtr target(zip_source_buffer_create(nullptr, 0, 0, &error));
  zip_error_fini(&error);
  if (target == nullptr) return nullptr;
  zip_error_init(&error);
  std::unique_ptr<zip_t, ArchiveDiscard> archive(zip_open_from_source(target.get(), ZIP_TRUNCATE, &error));
  zip_error_fini(&error);
  if (archive == nullptr) return nullptr;
  zip_source_keep(target.get());  // the archive releases its reference on close
  SourcePtr content(zip_source_buffer(archive.get(), bytes.data(), bytes.size(), 0));
  if (content == nullptr) return nullptr;
  const zip_int64_t index = zip_file_add(archive.get(), "entry", content.get(), 0);
  if (index < 0) return nullptr;
  (void)content.release();  // owned by the archive now
  if (zip_set_file_compression(archive.get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, level) != 0 ||
      zip_close(archive.get()) != 0) {
    return nullptr;
  }
  (void)archive.release();  // zip_close freed it
  zip_stat_t stat;
  if (zip_source_stat(target.get(), &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0 ||
      zip_source_open(target.get()) != 0) {
    return nullptr;
  }
  std::string written(static_cast<size_t>(stat.size), '\0');
  const zip_int64_t read = zip_source_read(target.get(), written.data(), stat.size);
  zip_source_close(target.get());
  if (read < 0 || static_cast<zip_uint64_t>(read) != stat.size) return nullptr;
  return std::make_shared<const std::string>(std::move(written));
}

}  // namespace

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

std::shared_ptr<const std::string> CompressedEntryCache::deflatedFor(const Identity& identity, zip_uint32_t level) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (archive_ == nullptr || level_ != level || !identity_.has_value() || !(*identity_ == identity)) return nullptr;
  return archive_;
}

std::shared_ptr<const std::string> CompressedEntryCache::deflated(std::string_view bytes, zip_uint32_t level,
                                                                  const Identity* identity) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (archive_ != nullptr && level_ == level && bytes_ == bytes) {
      if (identity != nullptr) identity_ = *identity;
      return archive_;
    }
  }
  // Deflated outside the lock: another archive may meanwhile use (or replace) the cached entry.
  std::shared_ptr<const std::string> archive = buildArchive(bytes, level);
  if (archive == nullptr) return nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  bytes_.assign(bytes);
  level_ = level;
  archive_ = archive;
  identity_.reset();
  if (identity != nullptr) identity_ = *identity;
  return archive;
}

}  // namespace zipdetail
