// The libzip calls behind ZipArchive, gathered in one table so that tests can replace a call to
// force a failure (an open that fails, a read that breaks off, a close that cannot write), and the
// file libzip is loaded from (a library that cannot be loaded). A test seam, outside the public
// headers: only KestCommon and the tests that force failures see it.
// Thread safety: the table is read by every ZipArchive operation without a lock; replace entries
// or the file only while no other thread uses an archive (tests do it from the test body).
#pragma once

#include <zip.h>

#include <cstdio>

#include "kest/Export.h"

struct ZipLibOps {
  // Takes ownership of `source` on success only.
  zip_t* (*openFromSource)(zip_source_t* source, int flags, zip_error_t* error);
  // Takes ownership of `fd` on success only.
  zip_t* (*fdopen)(int fd, int flags, int* errorCode);
  int (*close)(zip_t* archive);
  void (*discard)(zip_t* archive);
  zip_int64_t (*getNumEntries)(zip_t* archive, zip_flags_t flags);
  const char* (*getName)(zip_t* archive, zip_uint64_t index, zip_flags_t flags);
  zip_int64_t (*nameLocate)(zip_t* archive, const char* name, zip_flags_t flags);
  int (*statIndex)(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_stat_t* stat);
  int (*fileGetExternalAttributes)(zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_uint8_t* opsys,
                                   zip_uint32_t* attributes);
  zip_file_t* (*fopenIndex)(zip_t* archive, zip_uint64_t index, zip_flags_t flags);
  zip_int64_t (*fread)(zip_file_t* file, void* buffer, zip_uint64_t count);
  int (*fclose)(zip_file_t* file);
  // Takes ownership of `file` on success only.
  zip_source_t* (*sourceFilepCreate)(FILE* file, zip_uint64_t start, zip_int64_t length, zip_error_t* error);
  // The source of an entry deflated in memory (the package's own write target does not use it).
  zip_source_t* (*sourceFunctionCreate)(zip_source_callback callback, void* state, zip_error_t* error);
  void (*sourceFree)(zip_source_t* source);
  // Takes ownership of `source` on success only.
  zip_int64_t (*fileAdd)(zip_t* archive, const char* name, zip_source_t* source, zip_flags_t flags);
  const char* (*strerror)(zip_t* archive);
  const char* (*fileStrerror)(zip_file_t* file);
  int (*setFileCompression)(zip_t* archive, zip_uint64_t index, zip_int32_t method, zip_uint32_t level);
};

// The table in use. Its entries start as the real libzip functions.
KEST_EXPORT ZipLibOps& zipLibOps();

// Replaces the table for the lifetime of the object and restores the previous one afterwards.
class ScopedZipLibOps {
 public:
  explicit ScopedZipLibOps(const ZipLibOps& replacement) : saved_(zipLibOps()) { zipLibOps() = replacement; }
  ~ScopedZipLibOps() { zipLibOps() = saved_; }
  ScopedZipLibOps(const ScopedZipLibOps&) = delete;
  ScopedZipLibOps& operator=(const ScopedZipLibOps&) = delete;

 private:
  ZipLibOps saved_;
};

// Makes the next libzip call load libzip from `fileName` (a name the dynamic loader looks up; it must
// outlive its use) as if libzip had never been loaded. Returns the file name used so far.
KEST_EXPORT const char* replaceLibzipFileName(const char* fileName);

// Loads libzip from another file for the lifetime of the object, then from the previous one again.
class ScopedLibzipFileName {
 public:
  explicit ScopedLibzipFileName(const char* fileName) : saved_(replaceLibzipFileName(fileName)) {}
  ~ScopedLibzipFileName() { replaceLibzipFileName(saved_); }
  ScopedLibzipFileName(const ScopedLibzipFileName&) = delete;
  ScopedLibzipFileName& operator=(const ScopedLibzipFileName&) = delete;

 private:
  const char* saved_;
};
