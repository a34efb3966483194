#include "kest/TrustBoundaries.h"

#include <stdlib.h>

#include <memory>

#include "kest/DevicePaths.h"

namespace {

TrustBoundaries::Settings& current() {
  static TrustBoundaries::Settings value;
  return value;
}

std::optional<std::string> realPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const std::unique_ptr<char, decltype(&free)> resolved(::realpath(path.c_str(), nullptr), &free);
  if (resolved == nullptr) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

void TrustBoundaries::set(Settings settings) { current() = std::move(settings); }

const TrustBoundaries::Settings& TrustBoundaries::settings() { return current(); }

std::vector<std::string> TrustBoundaries::libraryFolders() {
  std::vector<std::string> folders{DevicePaths::deviceRoot() + "/usr/lib/zem"};
  folders.insert(folders.end(), current().extraLibraryFolders.begin(), current().extraLibraryFolders.end());
  return folders;
}

std::vector<std::string> TrustBoundaries::logFolders() {
  std::vector<std::string> folders{DevicePaths::sysroot() + "/cache/var/log", DevicePaths::applicationDataFolder()};
  folders.insert(folders.end(), current().extraLogFolders.begin(), current().extraLogFolders.end());
  return folders;
}

bool TrustBoundaries::developmentMode() { return current().developmentMode; }

std::optional<std::string> TrustBoundaries::containedRealPath(const std::string& path,
                                                              const std::vector<std::string>& folders) {
  std::optional<std::string> resolved = realPath(path);
  if (!resolved) return std::nullopt;
  for (const std::string& folder : folders) {
    const std::optional<std::string> root = realPath(folder);
    if (!root) continue;
    // "/" as a folder contains everything below it; any other folder needs the separator after it,
    // so that "/a/bc" is not inside "/a/b".
    const std::string prefix = *root == "/" ? *root : *root + "/";
    if (resolved->size() > prefix.size() && resolved->compare(0, prefix.size(), prefix) == 0) return resolved;
  }
  return std::nullopt;
}
