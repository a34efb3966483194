// What the unit trusts beyond its own files: the folders from which shared libraries may be
// loaded, the folders from which log files may be collected, and whether unsigned containers run
// (development mode). The host sets them once at start-up, before the plug-in is loaded; tests
// replace them for a scope with ScopedTrustBoundaries.
// Thread safety: the getters may be called from any thread; set() only while no other thread
// reads them (start-up, or a test body before it starts work).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kest/Export.h"

class KEST_EXPORT TrustBoundaries {
 public:
  struct Settings {
    std::vector<std::string> extraLibraryFolders;  // zem-host --library-dir DIR (repeatable)
    std::vector<std::string> extraLogFolders;      // zem-host --log-dir DIR (repeatable)
    bool developmentMode = false;                  // zem-host --development
  };

  // Replaces the settings of the process. The folders are kept as given; they are resolved
  // (links followed) each time a path is checked, so a folder made later still counts.
  static void set(Settings settings);
  static const Settings& settings();

  // <device root>/usr/lib/zem, then the extra library folders in the order given.
  static std::vector<std::string> libraryFolders();
  // The unit's log folder (<sysroot>/cache/var/log), the application data folder, then the
  // extra log folders in the order given.
  static std::vector<std::string> logFolders();
  // True when unsigned containers may run on a unit without a signing slot.
  static bool developmentMode();

  // The real path of `path` (every link resolved) when it exists and lies inside the real path of
  // one of `folders` (the folder itself does not count); nullopt otherwise, also when `path` or a
  // folder cannot be resolved. A folder that does not exist is skipped.
  static std::optional<std::string> containedRealPath(const std::string& path, const std::vector<std::string>& folders);
};

// Installs other settings for the lifetime of the object and restores the previous ones after.
class KEST_EXPORT ScopedTrustBoundaries {
 public:
  explicit ScopedTrustBoundaries(TrustBoundaries::Settings settings) : saved_(TrustBoundaries::settings()) {
    TrustBoundaries::set(std::move(settings));
  }
  ~ScopedTrustBoundaries() { TrustBoundaries::set(saved_); }
  ScopedTrustBoundaries(const ScopedTrustBoundaries&) = delete;
  ScopedTrustBoundaries& operator=(const ScopedTrustBoundaries&) = delete;

 private:
  TrustBoundaries::Settings saved_;
};
