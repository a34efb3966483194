// A temporary folder that lives as long as its owner, and the private folder that holds them.
// Thread safety: a TempFile is not shared (one owner). The private folder (set once at start-up by
// clearAtStartUp) and the pool of emptied folders are guarded by one mutex in TempFile.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/File.h"

// An empty folder of its own below TempFile::folder(), made with mkdtemp and removed with its content
// when the TempFile is destroyed. In the application's private folder an emptied folder is kept
// instead (a few per prefix) and handed to the next TempFile of the same prefix. Throws
// std::runtime_error when the folder cannot be created.
class KEST_EXPORT TempFile {
 public:
  explicit TempFile(const std::string& prefix = "zem");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const File& getFile() const { return folder_; }

  // Name of the private folder below the application folder.
  static constexpr const char* kPrivateFolderName = ".tmp";

  // Where new TempFiles go: the private folder once clearAtStartUp named one (the application),
  // otherwise File::tmpFolder() (tools, tests, benchmarks).
  static File folder();

  // Start-up of the application: makes <applicationFolder>/.tmp the folder of every later TempFile
  // and empties it, then removes what interrupted writes left beside their targets
  // (File::isTemporaryName) anywhere below `applicationFolder` and directly in each of
  // `otherFolders`. In `sharedFolders` (below the application folder, but written by other
  // programs too, such as the inbox) only leftovers unchanged for ten minutes go. Returns the
  // number of files and folders removed; logs it at INFO.
  // REQUIRES: no file of the application is being written (called before any job runs).
  static size_t clearAtStartUp(const File& applicationFolder, const std::vector<File>& otherFolders = {},
                               const std::vector<File>& sharedFolders = {});

 private:
  std::string prefix_;
  File folder_;
};
