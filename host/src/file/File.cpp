// File operations on POSIX. Every replacement of a file goes through the one durable writer
// (xmldoc::replaceFile); this file adds paths, listings, sizes and removal.
#include "kest/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kest/ApplicationLogger.h"
#include "kolconfig/FileIo.h"

namespace {

using xmldoc::UniqueFd;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

std::string errnoText() { return std::strerror(errno); }

bool lstatPath(const std::string& path, struct stat* st) { return ::lstat(path.c_str(), st) == 0; }
bool statPath(const std::string& path, struct stat* st) { return ::stat(path.c_str(), st) == 0; }

bool logReplacement(const std::string& path, const xmldoc::ReplaceResult& result) {
  if (result.outcome == xmldoc::ReplaceOutcome::kReplacedNotFlushed) {
    // The rename is the commit point: the target holds the new content; only its survival of a
    // power cut is not assured.
    ZEM_WARN("Replaced " << path << " but " << result.error);
    return true;
  }
  if (!result.ok()) ZEM_DEBUG("Cannot replace " << path << ": " << result.error);
  return result.ok();
}

uint64_t totalSizeOf(const std::string& path, const std::string& excluded) {
  if (path == excluded) return 0;
  struct stat st;
  if (!lstatPath(path, &st)) return 0;
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  if (!S_ISDIR(st.st_mode)) return 0;  // links are not followed: no loops, no double counting
  uint64_t total = 0;
  for (const std::string& name : File(path).entryNames()) total += totalSizeOf((path + "/").append(name), excluded);
  return total;
}

bool removeRecursively(const std::string& path) {
  struct stat st;
  if (!lstatPath(path, &st)) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : File(path).entryNames()) removeRecursively((path + "/").append(name));
    return ::rmdir(path.c_str()) == 0;
  }
  return ::unlink(path.c_str()) == 0;
}

}  // namespace

File::File(std::string path) : path_(std::move(path)) {}

File::File(const File& parent, const std::string& child) {
  const std::string& base = parent.path_;
  if (base.empty()) {
    path_ = child;
  } else if (child.empty()) {
    path_ = base;
  } else {
    const bool baseSlash = base.back() == '/';
    const bool childSlash = child.front() == '/';
    if (baseSlash && childSlash) {
      path_ = base + child.substr(1);
    } else if (baseSlash || childSlash) {
      path_ = base + child;
    } else {
      path_ = base + "/" + child;
    }
  }
}

File::File(const std::string& parent, const std::string& child) : File(File(parent), child) {}

std::string File::getAbsolutePath() const {
  if (!path_.empty() && path_[0] == '/') return path_;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  const std::string base = cwd ? std::string(cwd.get()) : std::string("/");
  return path_.empty() ? base : File(File(base), path_).getPath();
}

std::string File::getName() const {
  std::string trimmed = path_;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

File File::getParentFile() const {
  std::string trimmed = path_;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return File();
  if (slash == 0) return File("/");
  return File(trimmed.substr(0, slash));
}

bool File::exists() const {
  struct stat st;
  return statPath(path_, &st);
}

bool File::isFile() const {
  struct stat st;
  return statPath(path_, &st) && S_ISREG(st.st_mode);
}

bool File::isDirectory() const {
  struct stat st;
  return statPath(path_, &st) && S_ISDIR(st.st_mode);
}

bool File::isSymbolicLink() const {
  struct stat st;
  return lstatPath(path_, &st) && S_ISLNK(st.st_mode);
}

bool File::mkdirs() const {
  if (path_.empty()) return false;
  if (isDirectory()) return true;
  std::string prefix;
  size_t pos = 0;
  while (pos != std::string::npos) {
    const size_t next = path_.find('/', pos + 1);
    prefix = path_.substr(0, next);
    pos = next;
    if (prefix.empty() || prefix == "/") continue;
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      ZEM_DEBUG("Cannot create folder " << prefix << ": " << errnoText());
      return false;
    }
  }
  return isDirectory();
}

bool File::remove() const {
  if (path_.empty()) return false;
  removeRecursively(path_);
  struct stat st;
  return !lstatPath(path_, &st);
}

bool File::copyTo(const File& target, xmldoc::Durability durability) const {
  UniqueFd source(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    ZEM_DEBUG("Cannot open " << path_ << " for copying: " << errnoText());
    return false;
  }
  struct stat st;
  if (::fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    ZEM_DEBUG("Cannot copy " << path_ << ": not a regular file");
    return false;
  }
  const auto copy = [&source](int out) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      const ssize_t n = ::read(source.get(), buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;
      if (!xmldoc::writeAll(out, buffer.data(), static_cast<size_t>(n))) return false;
    }
  };
  return logReplacement(target.path_,
                        xmldoc::replaceFile(target.path_, copy, durability, static_cast<int>(st.st_mode & 07777)));
}

bool File::snapshotTo(const File& target) const {
  if (isFile() && ::link(path_.c_str(), target.path_.c_str()) == 0) return true;
  return copyTo(target, xmldoc::Durability::Volatile);
}

std::vector<std::string> File::entryNames() const {
  std::vector<std::string> names;
  UniqueDir dir(::opendir(path_.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  return names;
}

std::vector<File> File::listFiles(const std::string& extension) const {
  std::vector<File> files;
  const std::string suffix = extension.empty() ? std::string() : "." + extension;
  for (const std::string& name : entryNames()) {
    if (File::isTemporaryName(name)) continue;
    if (!suffix.empty() &&
        (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)) {
      continue;
    }
    File file(*this, name);
    if (file.isFile()) files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.getName() < b.getName(); });
  return files;
}

uint64_t File::size() const {
  struct stat st;
  if (!statPath(path_, &st) || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

uint64_t File::totalSize() const { return totalSizeOf(path_, std::string()); }

uint64_t File::totalSize(const File& excluded) const { return totalSizeOf(path_, excluded.path_); }

uint64_t File::fileSystemTotalSpace() const {
  struct statvfs vfs;
  if (::statvfs(path_.c_str(), &vfs) != 0) return 0;
  return static_cast<uint64_t>(vfs.f_blocks) * static_cast<uint64_t>(vfs.f_frsize);
}

bool File::readAll(std::string* out) const {
  if (out == nullptr) return false;
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  std::string content;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    content.append(buffer.data(), static_cast<size_t>(n));
  }
  *out = std::move(content);
  return true;
}

bool File::writeAtomically(const std::string& content) const {
  if (path_.empty()) return false;
  return logReplacement(path_, xmldoc::replaceFile(path_, content.data(), content.size()));
}

bool File::isTemporaryName(const std::string& name) {
  return !name.empty() && name[0] == '.' && (xmldoc::isTemporaryName(name) || name.find(".part-") != std::string::npos);
}

File File::tmpFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return File(tmp != nullptr && tmp[0] != '\0' ? std::string(tmp) : std::string("/tmp"));
}
