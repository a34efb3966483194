#include "jobs/Quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "jobs/Inbox.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kolconfig/FileIo.h"

namespace {

// A folder opened for *at() calls, never through a symbolic link; -1 when it cannot be opened.
xmldoc::UniqueFd openFolder(const std::string& path) {
  return xmldoc::UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool isSafeByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// "YYYYMMDDTHHMMSS" in UTC.
std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
  return text;
}

// Removes the oldest regular files of the folder beyond Quarantine::kMaxKept (oldest modification
// time first, then name). Failures are logged; nothing else is touched.
void prune(int folder) {
  const int listed = ::dup(folder);
  if (listed < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listed), &::closedir);
  if (dir == nullptr) {
    ::close(listed);
    return;
  }
  struct Kept {
    struct timespec time;
    std::string name;
  };
  std::vector<Kept> kept;
  while (const dirent* entry = ::readdir(dir.get())) {
    struct stat st {};
    if (::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    kept.push_back({st.st_mtim, entry->d_name});
  }
  if (kept.size() <= Quarantine::kMaxKept) return;
  std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
    if (a.time.tv_sec != b.time.tv_sec) return a.time.tv_sec < b.time.tv_sec;
    if (a.time.tv_nsec != b.time.tv_nsec) return a.time.tv_nsec < b.time.tv_nsec;
    return a.name < b.name;
  });
  for (size_t i = 0; i + Quarantine::kMaxKept < kept.size(); ++i) {
    if (::unlinkat(folder, kept[i].name.c_str(), 0) != 0 && errno != ENOENT) {
      ZEM_ERROR("Cannot remove the old quarantined container " << kept[i].name << ": " << std::strerror(errno));
    }
  }
}

}  // namespace

std::string Quarantine::folder() {
  return DevicePaths::applicationDataFolder() + "/" + DevicePaths::kQuarantineFolderName;
}

std::string Quarantine::safeName(const std::string& name) {
  const size_t slash = name.rfind('/');
  std::string safe = slash == std::string::npos ? name : name.substr(slash + 1);
  if (safe.size() > kMaxKeptNameBytes) safe.resize(kMaxKeptNameBytes);
  for (char& c : safe) {
    if (!isSafeByte(c)) c = '_';
  }
  return safe.empty() ? std::string("container") : safe;
}

std::string Quarantine::admit(const std::string& name, const ZipArchive* opened) {
  const std::string shown = Inbox::forLog(Inbox::pathOf(name));
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "Cannot quarantine " << shown << ": not a plain file name");
    return std::string();
  }
  const xmldoc::UniqueFd inbox = openFolder(DevicePaths::inboxFolder());
  const std::string target = folder();
  if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Cannot quarantine " << shown << ": cannot make " << target << " (" << std::strerror(errno) << ")");
    return std::string();
  }
  const xmldoc::UniqueFd quarantine = openFolder(target);
  if (!inbox.valid() || !quarantine.valid()) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Cannot quarantine " << shown << ": the inbox or " << target << " cannot be opened as a folder");
    return std::string();
  }
  if (opened != nullptr) {
    struct stat st {};
    if (::fstatat(inbox.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !opened->isSameFile(st)) {
      ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                      "Cannot quarantine " << shown << ": the file was replaced or removed meanwhile");
      return std::string();
    }
  }
  static std::atomic<unsigned> counter{0};
  const std::string stem = utcStamp() + "-", safe = safeName(name);
  // RENAME_NOREPLACE: a name already taken is skipped, never overwritten.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char number[16];
    std::snprintf(number, sizeof number, "%06u-", counter++ % 1000000);
    std::string chosen = stem;
    chosen.append(number).append(safe);
    if (::renameat2(inbox.get(), name.c_str(), quarantine.get(), chosen.c_str(), RENAME_NOREPLACE) == 0) {
      // Age counts from the quarantine, not from whoever wrote the file.
      ::utimensat(quarantine.get(), chosen.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
      prune(quarantine.get());
      return chosen;
    }
    if (errno != EEXIST) break;
  }
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                  "Cannot quarantine " << shown << " into " << target << ": " << std::strerror(errno));
  return std::string();
}
