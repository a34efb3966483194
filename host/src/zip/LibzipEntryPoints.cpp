// The libzip functions KestCommon calls, defined inside KestCommon: each forwards to its namesake in
// libzip.so.4, which is opened on the first call (util/LazyLibrary). An idle daemon maps neither
// libzip nor the libcrypto and libbz2 it links. The definitions are hidden: they never interpose
// libzip for another library or program in the process.
// A libzip that cannot be loaded fails the operation with ZipException(kCannotOpen).

// Declares the libzip functions hidden, as they are defined here.
#define ZIP_EXTERN KEST_HIDDEN
#include "util/LazyLibrary.h"
// Included after the definition above on purpose.
#include <zip.h>

#include "kest/seams/ZipLibOps.h"
#include "kest/zip/ZipException.h"

namespace {

// clang-format off
#define KEST_LIBZIP_ENTRY_POINTS(X)                                                                                    \
  X(int, zip_close, (zip_t* archive), (archive))                                                                       \
  X(void, zip_discard, (zip_t* archive), (archive))                                                                    \
  X(int, zip_error_code_system, (const zip_error_t* error), (error))                                                   \
  X(void, zip_error_fini, (zip_error_t* error), (error))                                                               \
  X(void, zip_error_init, (zip_error_t* error), (error))                                                               \
  X(void, zip_error_init_with_code, (zip_error_t* error, int code), (error, code))                                     \
  X(void, zip_error_set, (zip_error_t* error, int zipError, int systemError), (error, zipError, systemError))          \
  X(const char*, zip_error_strerror, (zip_error_t* error), (error))                                                    \
  X(int, zip_error_system_type, (const zip_error_t* error), (error))                                                   \
  X(zip_int64_t, zip_error_to_data, (const zip_error_t* error, void* data, zip_uint64_t length),                       \
    (error, data, length))                                                                                             \
  X(int, zip_fclose, (zip_file_t* file), (file))                                                                       \
  X(zip_t*, zip_fdopen, (int fd, int flags, int* error), (fd, flags, error))                                           \
  X(zip_int64_t, zip_file_add, (zip_t* archive, const char* name, zip_source_t* source, zip_flags_t flags),            \
    (archive, name, source, flags))                                                                                    \
  X(int, zip_file_get_external_attributes,                                                                             \
    (zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_uint8_t* opsys, zip_uint32_t* attributes),             \
    (archive, index, flags, opsys, attributes))                                                                        \
  X(int, zip_file_set_external_attributes,                                                                             \
    (zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_uint8_t opsys, zip_uint32_t attributes),               \
    (archive, index, flags, opsys, attributes))                                                                        \
  X(int, zip_file_set_mtime, (zip_t* archive, zip_uint64_t index, time_t mtime, zip_flags_t flags),                    \
    (archive, index, mtime, flags))                                                                                    \
  X(const char*, zip_file_strerror, (zip_file_t* file), (file))                                                        \
  X(zip_file_t*, zip_fopen_index, (zip_t* archive, zip_uint64_t index, zip_flags_t flags), (archive, index, flags))    \
  X(zip_int64_t, zip_fread, (zip_file_t* file, void* buffer, zip_uint64_t count), (file, buffer, count))               \
  X(zip_error_t*, zip_get_error, (zip_t* archive), (archive))                                                          \
  X(const char*, zip_get_name, (zip_t* archive, zip_uint64_t index, zip_flags_t flags), (archive, index, flags))       \
  X(zip_int64_t, zip_get_num_entries, (zip_t* archive, zip_flags_t flags), (archive, flags))                           \
  X(zip_int64_t, zip_name_locate, (zip_t* archive, const char* name, zip_flags_t flags), (archive, name, flags))       \
  X(zip_t*, zip_open_from_source, (zip_source_t* source, int flags, zip_error_t* error), (source, flags, error))       \
  X(int, zip_set_file_compression, (zip_t* archive, zip_uint64_t index, zip_int32_t method, zip_uint32_t level),       \
    (archive, index, method, level))                                                                                   \
  X(zip_source_t*, zip_source_buffer, (zip_t* archive, const void* data, zip_uint64_t length, int freeData),           \
    (archive, data, length, freeData))                                                                                 \
  X(zip_source_t*, zip_source_buffer_create, (const void* data, zip_uint64_t length, int freeData, zip_error_t* error),\
    (data, length, freeData, error))                                                                                   \
  X(int, zip_source_close, (zip_source_t* source), (source))                                                           \
  X(zip_source_t*, zip_source_filep_create, (FILE* file, zip_uint64_t start, zip_int64_t length, zip_error_t* error),  \
    (file, start, length, error))                                                                                      \
  X(void, zip_source_free, (zip_source_t* source), (source))                                                           \
  X(zip_source_t*, zip_source_function_create, (zip_source_callback callback, void* data, zip_error_t* error),         \
    (callback, data, error))                                                                                           \
  X(void, zip_source_keep, (zip_source_t* source), (source))                                                           \
  X(int, zip_source_open, (zip_source_t* source), (source))                                                            \
  X(zip_int64_t, zip_source_seek_compute_offset,                                                                       \
    (zip_uint64_t offset, zip_uint64_t length, void* data, zip_uint64_t dataLength, zip_error_t* error),               \
    (offset, length, data, dataLength, error))                                                                         \
  X(zip_int64_t, zip_source_read, (zip_source_t* source, void* data, zip_uint64_t length), (source, data, length))     \
  X(int, zip_source_stat, (zip_source_t* source, zip_stat_t* stat), (source, stat))                                    \
  X(zip_source_t*, zip_source_zip,                                                                                     \
    (zip_t* archive, zip_t* source, zip_uint64_t index, zip_flags_t flags, zip_uint64_t start, zip_int64_t length),    \
    (archive, source, index, flags, start, length))                                                                    \
  X(void, zip_stat_init, (zip_stat_t* stat), (stat))                                                                   \
  X(int, zip_stat_index, (zip_t* archive, zip_uint64_t index, zip_flags_t flags, zip_stat_t* stat),                    \
    (archive, index, flags, stat))                                                                                     \
  X(const char*, zip_strerror, (zip_t* archive), (archive))
// clang-format on

enum Entry : size_t { KEST_LIBZIP_ENTRY_POINTS(KEST_LAZY_INDEX) kEntryCount };
constexpr const char* kSymbols[] = {KEST_LIBZIP_ENTRY_POINTS(KEST_LAZY_SYMBOL)};
void* addresses[kEntryCount];

void refuse(const std::string& reason) { throw ZipException(ZipException::kCannotOpen, reason); }

// Constant-initialised: usable from any static constructor or destructor.
LazyLibrary library("libzip", "libzip.so.4", kSymbols, addresses, kEntryCount, &refuse);

}  // namespace

KEST_LIBZIP_ENTRY_POINTS(KEST_LAZY_FORWARD)

const char* replaceLibzipFileName(const char* fileName) { return library.replaceFileName(fileName); }
