#include "PowerCutFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string folderOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The path a descriptor refers to ("" when unknown).
std::string pathOf(int fd) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof(buffer));
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Reads a whole file; false when it cannot be opened or read.
bool readAll(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.is_open() && !in.bad();
}

// Streams, not the table: the table is off once the cut is laid out.
bool writeWhole(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return !out.fail();
}

}  // namespace

PowerCutFileSystem::Key PowerCutFileSystem::keyOf(const struct stat& st) {
  return Key{st.st_dev, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

PowerCutFileSystem::Listing PowerCutFileSystem::scan(const std::string& folder, std::map<Key, std::string>* contents) {
  Listing listing;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  for (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr; entry != nullptr; entry = ::readdir(dir.get())) {
    const std::string file = folder + "/" + entry->d_name;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    listing[entry->d_name] = keyOf(st);
    std::string content;
    if (contents != nullptr && readAll(file, &content)) (*contents)[keyOf(st)] = std::move(content);
  }
  return listing;
}

PowerCutFileSystem* PowerCutFileSystem::active_ = nullptr;

PowerCutFileSystem::PowerCutFileSystem(std::vector<std::string> folders, uint64_t cutStep, uint64_t seed, Fault fault)
    : saved_(xmldoc::fileIo()), cutStep_(cutStep), fault_(fault), random_(seed) {
  // Everything present now was written before the simulated run: durable.
  for (std::string& path : folders) {
    Listing durable = scan(path, &durableContent_);
    folders_.push_back(Folder{std::move(path), std::move(durable), {}});
  }
  active_ = this;
  xmldoc::fileIo() = xmldoc::FileIo{&makeTemp, &setMode, &write, &fsync, &closeFile, &rename, &openDirectory};
}

PowerCutFileSystem::~PowerCutFileSystem() {
  xmldoc::fileIo() = saved_;
  active_ = nullptr;
}

bool PowerCutFileSystem::step() {
  if (!cut_ && ++steps_ == cutStep_) cut_ = true;
  if (cut_) errno = EIO;
  return !cut_;
}

PowerCutFileSystem::Folder* PowerCutFileSystem::watched(const std::string& folderPath) {
  for (Folder& folder : folders_) {
    if (folder.path == folderPath) return &folder;
  }
  return nullptr;
}

void PowerCutFileSystem::journalFolderOf(const std::string& path) {
  Folder* const folder = watched(folderOf(path));
  if (folder == nullptr) return;
  folder->journal.push_back(scan(folder->path, nullptr));
}

void PowerCutFileSystem::flush(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    Folder* const folder = watched(pathOf(fd));
    if (folder == nullptr) return;
    journalFolderOf(folder->path + "/.");
    folder->durable = folder->journal.back();
    folder->journal.clear();
    return;
  }
  if (!S_ISREG(st.st_mode)) return;
  std::string content;
  if (!readAll("/proc/self/fd/" + std::to_string(fd), &content)) return;
  const Key key = keyOf(st);
  if (fault_ == Fault::kFsyncAfterRename) {
    heldFlushes_.emplace_back(key, std::move(content));
  } else {
    durableContent_[key] = std::move(content);
  }
}

int PowerCutFileSystem::makeTemp(char* pathTemplate) {
  if (!active_->step()) return -1;
  const int fd = ::mkostemp(pathTemplate, O_CLOEXEC);
  if (fd >= 0) active_->journalFolderOf(pathTemplate);
  return fd;
}

int PowerCutFileSystem::setMode(int fd, mode_t mode) { return active_->step() ? ::fchmod(fd, mode) : -1; }

ssize_t PowerCutFileSystem::write(int fd, const void* data, size_t n) {
  return active_->step() ? ::write(fd, data, n) : -1;
}

int PowerCutFileSystem::fsync(int fd) {
  if (!active_->step()) return -1;
  active_->flush(fd);
  return 0;
}

int PowerCutFileSystem::closeFile(int fd) {
  const bool on = active_->step();
  const int rc = ::close(fd);
  if (!on) errno = EIO;
  return on ? rc : -1;
}

int PowerCutFileSystem::rename(const char* from, const char* to) {
  if (!active_->step()) return -1;
  const int rc = ::rename(from, to);
  if (rc != 0) return rc;
  active_->journalFolderOf(from);
  active_->journalFolderOf(to);
  // The held-back flushes land after the rename, each a step of its own where the cut may fall.
  std::vector<std::pair<Key, std::string>> held;
  held.swap(active_->heldFlushes_);
  for (const auto& flush : held) {
    if (!active_->step()) break;
    active_->durableContent_[flush.first] = flush.second;
  }
  return 0;
}

int PowerCutFileSystem::openDirectory(const char* path) {
  return active_->step() ? ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
}

bool PowerCutFileSystem::applyCut(std::string* error) {
  cut_ = true;
  for (Folder& folder : folders_) {
    // Any prefix of the unflushed journal may have reached the disk.
    const size_t chosen = std::uniform_int_distribution<size_t>(0, folder.journal.size())(random_);
    const Listing survivors = chosen == 0 ? folder.durable : folder.journal[chosen - 1];

    // What the files hold now, for the torn remains of content that was never flushed.
    std::map<Key, std::string> current;
    for (const auto& present : scan(folder.path, &current)) {
      const std::string file = folder.path + "/" + present.first;
      if (::unlink(file.c_str()) != 0) {
        *error = "cannot remove " + file + ": " + std::strerror(errno);
        return false;
      }
    }
    for (const auto& [name, key] : survivors) {
      std::string content;
      const auto durable = durableContent_.find(key);
      if (durable != durableContent_.end()) {
        content = durable->second;
      } else if (const auto now = current.find(key); now != current.end() && !now->second.empty()) {
        content = now->second.substr(0, std::uniform_int_distribution<size_t>(0, now->second.size() - 1)(random_));
      }
      if (!writeWhole(folder.path + "/" + name, content)) {
        *error = "cannot restore " + folder.path + "/" + name + ": " + std::strerror(errno);
        return false;
      }
    }
  }
  return true;
}
