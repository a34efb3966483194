// PackageSink: the libzip write target of an archive ZipArchive creates. libzip's own file target
// writes through stdio into a temporary file of its own that it renames at the end, seeking and
// reading back blocks around every entry header; this one keeps the archive in memory while it is
// small and writes it to its file in one piece when libzip commits, so that a result package costs
// one file creation and one write. A larger archive spills to the file and is written there as it
// comes. The file is created exclusively (mode 0666 less the umask) and is not flushed: the caller
// signs, flushes and renames it. Writes go through the durable writer's system-call table, so
// tests can force a failure.
// Thread safety: none; libzip calls it only from the thread that closes the archive.
#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zipdetail {

class PackageSink {
 public:
  // Archives up to this size stay in memory until libzip commits them.
  static constexpr size_t kMemoryLimit = 256 * 1024;

  // Returns a libzip source that writes the archive to `path`, or null with `error` set. The
  // source owns the sink (freed with it); the caller owns the source until libzip takes it.
  static zip_source_t* create(const std::string& path, zip_error_t* error);

  ~PackageSink();
  PackageSink(const PackageSink&) = delete;
  PackageSink& operator=(const PackageSink&) = delete;

 private:
  explicit PackageSink(std::string path);

  static zip_int64_t callback(void* sink, void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t stat(void* data, zip_uint64_t length);
  zip_int64_t write(const void* data, zip_uint64_t length);
  zip_int64_t commit();
  // Creates the file and moves the archive held in memory into it. Returns false with error_ set.
  bool spill();
  // Forgets what was written and removes the file if this sink created it.
  void discard();
  // Sets error_ and returns -1.
  zip_int64_t fail(int zipError, int systemError);

  const std::string path_;
  std::string memory_;         // the archive while it stays in memory
  int fd_ = -1;                // the file, once created
  uint64_t offset_ = 0;        // libzip's write position
  uint64_t size_ = 0;          // the archive's length so far
  uint64_t filePosition_ = 0;  // fd_'s position
  zip_error_t error_;
};

}  // namespace zipdetail
