// PackageSink: libzip's write protocol over an archive in memory or in its file.
#include "zip/PackageSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <kolconfig/FileIo.h>

namespace zipdetail {

namespace {

// What libzip needs of a target it opens, creates and writes: its writable set. The reading
// commands answer for an archive that does not exist yet: nothing is ever read back.
constexpr zip_int64_t kSupported = ZIP_SOURCE_SUPPORTS_WRITABLE;

}  // namespace

PackageSink::PackageSink(std::string path) : path_(std::move(path)) { zip_error_init(&error_); }

PackageSink::~PackageSink() {
  discard();
  zip_error_fini(&error_);
}

zip_source_t* PackageSink::create(const std::string& path, zip_error_t* error) {
  std::unique_ptr<PackageSink> sink(new PackageSink(path));
  zip_source_t* const source = zip_source_function_create(&PackageSink::callback, sink.get(), error);
  if (source != nullptr) (void)sink.release();  // freed by ZIP_SOURCE_FREE
  return source;
}

zip_int64_t PackageSink::callback(void* sink, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* const self = static_cast<PackageSink*>(sink);
  if (command == ZIP_SOURCE_FREE) {
    delete self;
    return 0;
  }
  return self->handle(data, length, command);
}

zip_int64_t PackageSink::handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
  switch (command) {
    case ZIP_SOURCE_SUPPORTS:
      return kSupported;
    case ZIP_SOURCE_STAT:
      return stat(data, length);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&error_, data, length);
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_READ:
    case ZIP_SOURCE_TELL:
      return 0;
    case ZIP_SOURCE_SEEK:
      return zip_source_seek_compute_offset(0, 0, data, length, &error_) < 0 ? -1 : 0;
    case ZIP_SOURCE_BEGIN_WRITE:
      discard();
      return 0;
    case ZIP_SOURCE_WRITE:
      return write(data, length);
    case ZIP_SOURCE_SEEK_WRITE: {
      const zip_int64_t to = zip_source_seek_compute_offset(offset_, size_, data, length, &error_);
      if (to < 0) return -1;
      offset_ = static_cast<uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE:
      return static_cast<zip_int64_t>(offset_);
    case ZIP_SOURCE_COMMIT_WRITE:
      return commit();
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
      discard();
      return 0;
    default:
      return fail(ZIP_ER_OPNOTSUPP, 0);
  }
}

// The target is new: libzip learns so from ENOENT and creates the archive; a file already under
// the name makes libzip refuse the exclusive create, as for its own target.
zip_int64_t PackageSink::stat(void* data, zip_uint64_t length) {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) return fail(ZIP_ER_READ, errno);
  if (length < sizeof(zip_stat_t)) return fail(ZIP_ER_INTERNAL, 0);
  auto* const out = static_cast<zip_stat_t*>(data);
  zip_stat_init(out);
  out->size = static_cast<zip_uint64_t>(st.st_size);
  out->mtime = st.st_mtime;
  out->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
  return sizeof(zip_stat_t);
}

zip_int64_t PackageSink::write(const void* data, zip_uint64_t length) {
  if (length > static_cast<zip_uint64_t>(INT64_MAX) - offset_) return fail(ZIP_ER_INVAL, 0);
  const uint64_t end = offset_ + length;
  if (fd_ < 0 && end <= kMemoryLimit) {
    if (end > memory_.size()) memory_.resize(static_cast<size_t>(end));
    std::memcpy(&memory_[static_cast<size_t>(offset_)], data, static_cast<size_t>(length));
  } else {
    if (fd_ < 0 && !spill()) return -1;
    if (filePosition_ != offset_ && ::lseek(fd_, static_cast<off_t>(offset_), SEEK_SET) < 0) {
      return fail(ZIP_ER_SEEK, errno);
    }
    filePosition_ = offset_;
    if (!xmldoc::writeAll(fd_, static_cast<const char*>(data), static_cast<size_t>(length))) {
      return fail(ZIP_ER_WRITE, errno);
    }
    filePosition_ = end;
  }
  offset_ = end;
  size_ = std::max(size_, end);
  return static_cast<zip_int64_t>(length);
}

bool PackageSink::spill() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ < 0) return fail(ZIP_ER_TMPOPEN, errno), false;
  if (!xmldoc::writeAll(fd_, memory_.data(), memory_.size())) return fail(ZIP_ER_WRITE, errno), false;
  filePosition_ = memory_.size();
  std::string().swap(memory_);
  return true;
}

zip_int64_t PackageSink::commit() {
  if (fd_ < 0 && !spill()) {
    discard();
    return -1;
  }
  const int fd = fd_;
  fd_ = -1;
  if (xmldoc::fileIo().closeFile(fd) != 0) {
    const int error = errno;
    ::unlink(path_.c_str());
    return fail(ZIP_ER_WRITE, error);
  }
  std::string().swap(memory_);
  offset_ = size_ = filePosition_ = 0;
  return 0;
}

void PackageSink::discard() {
  if (fd_ >= 0) {
    xmldoc::fileIo().closeFile(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }
  std::string().swap(memory_);
  offset_ = size_ = filePosition_ = 0;
}

zip_int64_t PackageSink::fail(int zipError, int systemError) {
  zip_error_set(&error_, zipError, systemError);
  return -1;
}

}  // namespace zipdetail
