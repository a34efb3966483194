// FileIo: the POSIX calls behind xmldoc::saveFile, gathered in one table so that tests can
// replace an entry to force a failure at a chosen step.
// Thread safety: the table is process-wide; change it only while no document is being saved.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace xmldoc {

struct FileIo {
  int (*makeTemp)(char* pathTemplate);                       // mkstemp
  int (*setMode)(int fd, mode_t mode);                       // fchmod
  ssize_t (*writeSome)(int fd, const void* data, size_t n);  // write
  int (*syncFile)(int fd);                                   // fsync
  int (*closeFile)(int fd);                                  // close
  int (*renameFile)(const char* from, const char* to);       // rename
  int (*openDirectory)(const char* path);                    // open(path, O_RDONLY | O_DIRECTORY)
};

// The table used by saveFile; initially the real system calls.
FileIo& fileIo();

// The real system calls, for restoring the table.
FileIo defaultFileIo();

}  // namespace xmldoc
