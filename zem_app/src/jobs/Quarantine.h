// Where refused task containers that carry no usable task id go: the folder
// <application folder>/QUARANTINE, out of the inbox so that no start-up runs them again, kept for
// inspection, and bounded to the newest kMaxKept containers.
// Thread safety: admit() may be called from any thread; two calls at once never overwrite each
// other's containers (names are taken with an exclusive rename), but may prune each other's.
#pragma once

#include <cstddef>
#include <string>

#include "kest/zip/ZipArchive.h"

class Quarantine {
 public:
  static constexpr size_t kMaxKept = 16;
  // At most this many bytes of a container's name survive in its quarantine name.
  static constexpr size_t kMaxKeptNameBytes = 100;

  // DevicePaths::applicationDataFolder() + "/" + DevicePaths::kQuarantineFolderName.
  static std::string folder();

  // Moves the inbox entry `name` (a plain file name) into the quarantine folder (made when missing)
  // under a fresh name: UTC time, a six-digit counter, then the name's file name component with
  // every byte outside [A-Za-z0-9._-] turned into '_' and cut to kMaxKeptNameBytes. An existing file
  // is never replaced. The moved file's times are set to now; then the oldest containers beyond
  // kMaxKept are removed (modification time, then name, decides).
  // With `opened`, only while the entry is still the file that archive opened. Neither folder is
  // followed through a symbolic link. Returns the quarantine name on success; "" when the
  // container could not be moved (then the caller decides; the reason is logged at ERROR).
  static std::string admit(const std::string& name, const ZipArchive* opened = nullptr);

  // The quarantine name part made from a hostile container name (see admit); never empty.
  static std::string safeName(const std::string& name);
};
