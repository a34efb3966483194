#include "jobs/Inbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kolconfig/FileIo.h"

namespace {

// The descriptor of the inbox folder for one operation, closed when the holder goes. An inbox
// replaced by a symbolic link is not followed (no descriptor): its target lies outside.
xmldoc::UniqueFd openInbox() {
  return xmldoc::UniqueFd(::open(DevicePaths::inboxFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::string Inbox::entryName(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  const std::string folder = path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  if (!isPlainName(name) || folder.empty()) return std::string();
  const std::string& inbox = DevicePaths::inboxFolder();
  if (folder == inbox) return name;
  // Another spelling of the inbox (relative to the current folder, or absolute when the inbox is
  // relative) is taken; one through "." or ".." is not.
  const std::string wrapped = "/" + folder + "/";
  if (wrapped.find("/./") != std::string::npos || wrapped.find("/../") != std::string::npos) return std::string();
  return File(folder).getAbsolutePath() == File(inbox).getAbsolutePath() ? name : std::string();
}

std::string Inbox::pathOf(const std::string& name) { return DevicePaths::inboxFolder() + "/" + name; }

bool Inbox::isRegularFile(const std::string& name) {
  if (!isPlainName(name)) return false;
  const xmldoc::UniqueFd folder = openInbox();
  struct stat st;
  return folder.get() >= 0 && ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

bool Inbox::remove(const std::string& name, const ZipArchive* opened) {
  if (!isPlainName(name)) return false;
  const xmldoc::UniqueFd folder = openInbox();
  if (folder.get() < 0) return false;
  struct stat st;
  if (opened != nullptr) {
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!opened->isSameFile(st)) return false;
  }
  return ::unlinkat(folder.get(), name.c_str(), 0) == 0 || errno == ENOENT;
}

std::string Inbox::forLog(const std::string& path) { return ApplicationLogger::shortened(path, kMaxLoggedPath); }

bool Inbox::claim(const std::string& name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return claims_.insert(name).second;
}

void Inbox::release(const std::string& name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  claims_.erase(name);
}

bool Inbox::isClaimed(const std::string& name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return claims_.count(name) != 0;
}
