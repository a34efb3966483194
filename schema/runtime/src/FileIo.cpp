// The one durable writer. The temporary file lives in the target's own folder (same file system,
// so rename() is atomic); its data is flushed before the rename and the folder after it, so that
// both the content and the new directory entry survive a power cut.
#include "kolconfig/FileIo.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace xmldoc {
namespace {

constexpr const char* kTemporaryMarker = ".tmp";
constexpr mode_t kNewFileMode = 0644;

int openDirectoryForSync(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int makeTempCloexec(char* pathTemplate) { return ::mkostemp(pathTemplate, O_CLOEXEC); }

std::string folderOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

ReplaceResult failure(const std::string& what, int error) {
  ReplaceResult result;
  result.error = what + ": " + std::strerror(error);
  result.systemError = error;
  return result;
}

// Removes the temporary file on scope exit unless it was renamed into place.
class TemporaryRemover {
 public:
  explicit TemporaryRemover(const std::string& path) : path_(path) {}
  TemporaryRemover(const TemporaryRemover&) = delete;
  TemporaryRemover& operator=(const TemporaryRemover&) = delete;
  ~TemporaryRemover() {
    if (armed_) ::unlink(path_.c_str());
  }
  void disarm() { armed_ = false; }

 private:
  const std::string& path_;
  bool armed_ = true;
};

// Flushes the folder after a rename. EINVAL: the file system cannot flush folders (nothing to do).
ReplaceResult flushFolder(const std::string& folder, const std::string& target) {
  ReplaceResult result;
  UniqueFd dir(fileIo().openDirectory(folder.c_str()));
  if (!dir.valid() || (fileIo().fsync(dir.get()) != 0 && errno != EINVAL)) {
    result = failure("cannot flush folder " + folder + " after replacing " + target, errno);
    result.outcome = ReplaceOutcome::kReplacedNotFlushed;
    return result;
  }
  result.outcome = ReplaceOutcome::kReplaced;
  return result;
}

}  // namespace

FileIo defaultFileIo() {
  return FileIo{&makeTempCloexec, &::fchmod, &::write, &::fsync, &::close, &::rename, &openDirectoryForSync};
}

FileIo& fileIo() {
  static FileIo io = defaultFileIo();
  return io;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) fileIo().closeFile(fd_);
}

bool UniqueFd::close() {
  if (fd_ < 0) return true;
  const int rc = fileIo().closeFile(fd_);
  fd_ = -1;
  return rc == 0;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = fileIo().write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

ReplaceResult replaceFile(const std::string& path, const std::function<bool(int fd)>& fill, Durability durability,
                          int mode) {
  const std::string folder = folderOf(path);
  const std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (name.empty()) return failure("not a file path: " + path, EISDIR);
  if (mode == kKeepMode) {
    struct stat existing {};
    mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)
               ? static_cast<int>(existing.st_mode & 07777)
               : static_cast<int>(kNewFileMode);
  }

  std::string temporary = (folder == "/" ? "" : folder) + "/." + name + kTemporaryMarker + "XXXXXX";
  std::vector<char> pattern(temporary.begin(), temporary.end());
  pattern.push_back('\0');
  UniqueFd fd(fileIo().makeTemp(pattern.data()));
  if (!fd.valid()) return failure("cannot create a temporary file in " + folder, errno);
  temporary.assign(pattern.data());
  TemporaryRemover remover(temporary);

  if (fileIo().setMode(fd.get(), static_cast<mode_t>(mode)) != 0) {
    return failure("cannot set the mode of " + temporary, errno);
  }
  if (!fill(fd.get())) return failure("cannot write " + temporary, errno);
  if (durability == Durability::Durable && fileIo().fsync(fd.get()) != 0) {
    return failure("cannot flush " + temporary, errno);
  }
  if (!fd.close()) return failure("cannot close " + temporary, errno);
  if (fileIo().rename(temporary.c_str(), path.c_str()) != 0) {
    return failure("cannot rename " + temporary + " to " + path, errno);
  }
  remover.disarm();
  if (durability == Durability::Volatile) return ReplaceResult{ReplaceOutcome::kReplaced, std::string()};
  return flushFolder(folder, path);
}

ReplaceResult replaceFile(const std::string& path, const char* data, std::size_t size, Durability durability,
                          int mode) {
  return replaceFile(
      path, [data, size](int fd) { return writeAll(fd, data, size); }, durability, mode);
}

ReplaceResult commitFile(const std::string& temporary, const std::string& target, Durability durability,
                         Existing existing) {
  if (durability == Durability::Durable) {
    UniqueFd fd(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || fileIo().fsync(fd.get()) != 0) return failure("cannot flush " + temporary, errno);
  }
  if (existing == Existing::kKeepExisting) {
    // link() never replaces; the temporary name goes once the target holds the file.
    if (::link(temporary.c_str(), target.c_str()) != 0) {
      return failure("cannot link " + temporary + " to " + target, errno);
    }
    ::unlink(temporary.c_str());
  } else if (fileIo().rename(temporary.c_str(), target.c_str()) != 0) {
    return failure("cannot rename " + temporary + " to " + target, errno);
  }
  if (durability == Durability::Volatile) return ReplaceResult{ReplaceOutcome::kReplaced, std::string()};
  return flushFolder(folderOf(target), target);
}

bool isTemporaryName(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && name.find(kTemporaryMarker, 1) != std::string::npos;
}

}  // namespace xmldoc
