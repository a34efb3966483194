#include "kest/TempFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "kest/ApplicationLogger.h"

namespace {

// Emptied folders of the private folder kept for reuse, per prefix: a folder made and removed for
// every task costs an inode allocation each time, which the file system makes slower the more
// inodes were freed recently.
constexpr size_t kPooledPerPrefix = 8;

// A temporary file in a shared folder older than this was left by a writer that died.
constexpr time_t kSharedLeftoverSeconds = 600;

std::mutex privateFolderMutex;
std::string privateFolder;                                     // guarded by privateFolderMutex
std::map<std::string, std::vector<std::string>> spareFolders;  // guarded by privateFolderMutex

// A pooled empty folder for `prefix` below the private folder, or "" when there is none.
std::string takeSpare(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(privateFolderMutex);
  auto& spares = spareFolders[prefix];
  if (spares.empty()) return std::string();
  std::string folder = std::move(spares.back());
  spares.pop_back();
  return folder;
}

// Removes the leftovers of interrupted writes in `folder` (and below it when `recursive`, except in
// `skipped` folders), never following links, keeping files changed after `changedBefore`. Returns
// how many were removed.
size_t removeLeftovers(const File& folder, bool recursive, const std::vector<File>& skipped, time_t changedBefore) {
  size_t removed = 0;
  for (const std::string& name : folder.entryNames()) {
    const File child(folder, name);
    struct stat st;
    if (::lstat(child.getPath().c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) && File::isTemporaryName(name) && st.st_mtime < changedBefore) {
      if (child.remove()) ++removed;
    } else if (recursive && S_ISDIR(st.st_mode) && std::find(skipped.begin(), skipped.end(), child) == skipped.end()) {
      removed += removeLeftovers(child, true, skipped, changedBefore);
    }
  }
  return removed;
}

}  // namespace

TempFile::TempFile(const std::string& prefix) : prefix_(prefix) {
  const std::string spare = takeSpare(prefix);
  if (!spare.empty() && File(spare).isDirectory()) {
    folder_ = File(spare);
    return;
  }
  const File parent = folder();
  const std::string pattern = File(parent, prefix + "XXXXXX").getPath();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const std::vector<char> unfilled = buffer;
  // A private folder removed behind the application's back is made again.
  bool created = ::mkdtemp(buffer.data()) != nullptr;
  if (!created && errno == ENOENT && parent.mkdirs()) {
    buffer = unfilled;
    created = ::mkdtemp(buffer.data()) != nullptr;
  }
  if (!created) {
    // The error travels in the exception: a caller tells a passing shortage (no descriptors, no
    // space) from a fault without relying on errno surviving the unwinding.
    throw std::system_error(errno, std::generic_category(), "Cannot create a temporary folder " + pattern);
  }
  folder_ = File(std::string(buffer.data()));
}

TempFile::~TempFile() {
  const std::string parent = folder_.getParentFile().getPath();
  const auto poolable = [&] {
    return !privateFolder.empty() && parent == privateFolder && spareFolders[prefix_].size() < kPooledPerPrefix;
  };
  bool keep = false;
  {
    std::lock_guard<std::mutex> lock(privateFolderMutex);
    keep = poolable();
  }
  if (keep) {
    // Emptied without the lock held; kept only when nothing is left in it.
    for (const std::string& name : folder_.entryNames()) keep = File(folder_, name).remove() && keep;
    std::lock_guard<std::mutex> lock(privateFolderMutex);
    if (keep && poolable()) {
      spareFolders[prefix_].push_back(folder_.getPath());
      return;
    }
  }
  folder_.remove();
}

File TempFile::folder() {
  std::lock_guard<std::mutex> lock(privateFolderMutex);
  return privateFolder.empty() ? File::tmpFolder() : File(privateFolder);
}

size_t TempFile::clearAtStartUp(const File& applicationFolder, const std::vector<File>& otherFolders,
                                const std::vector<File>& sharedFolders) {
  const File own(applicationFolder, kPrivateFolderName);
  size_t removed = 0;
  for (const std::string& name : own.entryNames()) {
    if (File(own, name).remove()) ++removed;
  }
  if (own.mkdirs()) {
    std::lock_guard<std::mutex> lock(privateFolderMutex);
    privateFolder = own.getPath();
    spareFolders.clear();
  } else {
    ZEM_ERROR("Cannot create the temporary folder " << own.getPath() << "; using " << File::tmpFolder().getPath());
  }
  const time_t anyTime = std::numeric_limits<time_t>::max();
  removed += removeLeftovers(applicationFolder, true, sharedFolders, anyTime);
  for (const File& other : otherFolders) removed += removeLeftovers(other, false, {}, anyTime);
  // Another program may be delivering into a shared folder right now: only old leftovers go.
  for (const File& shared : sharedFolders) {
    removed += removeLeftovers(shared, false, {}, ::time(nullptr) - kSharedLeftoverSeconds);
  }
  if (removed > 0) ZEM_INFO("Removed " << removed << " temporary files and folders left by an interrupted run");
  return removed;
}
