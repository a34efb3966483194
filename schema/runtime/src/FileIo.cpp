#include "kolconfig/FileIo.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace xmldoc {
namespace {

int openDirectoryForSync(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int makeTempCloexec(char* pathTemplate) { return ::mkostemp(pathTemplate, O_CLOEXEC); }

}  // namespace

FileIo defaultFileIo() {
  return FileIo{&makeTempCloexec, &::fchmod, &::write, &::fsync, &::close, &::rename, &openDirectoryForSync};
}

FileIo& fileIo() {
  static FileIo io = defaultFileIo();
  return io;
}

}  // namespace xmldoc
