// Decides whether the application data folder may grow by a number of bytes without passing the
// ceiling of the global setting maximumDataSize (KiB).
// Thread safety: stateless; reads the file system and the settings document.
#pragma once

#include <cstdint>

#include "kest/File.h"

class DiskSpaceChecker {
 public:
  // True when the application data folder plus `additionalBytes` stays within maximumDataSize of
  // the application's global settings (the default ceiling when no settings are loaded). Logs the
  // figures at TRACE on success and "Used disk space is too high ..." at ERROR otherwise.
  // Never throws.
  static bool sufficientDiskSpaceAvailable(long additionalBytes);

  // The check itself, on `folder` with a ceiling of `maximumDataSizeKiB` KiB. The used space is
  // the folder's size (without its private temporary folder, TempFile::kPrivateFolderName) plus `additionalBytes` as an
  // unsigned 32-bit sum (so it wraps as on the unit), compared unsigned with the ceiling in bytes.
  static bool sufficientDiskSpaceAvailable(const File& folder, uint32_t maximumDataSizeKiB, long additionalBytes);
};
