#include "jobs/DiskSpaceChecker.h"

#include "app/ZemApp.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/ZemSettings.h"

bool DiskSpaceChecker::sufficientDiskSpaceAvailable(long additionalBytes) {
  uint32_t maximumDataSize = ZemSettings::kDefaultMaximumDataSize;
  ZemSettings* const settings = getApp()->getGlobalSettings();
  if (settings != nullptr) {
    // Read under the settings' lock: an IPC thread may change the document meanwhile.
    settings->ensureLoaded();
    maximumDataSize = settings->read([](const auto* document) {
      return document != nullptr ? static_cast<uint32_t>(document->get_maximumDataSize())
                                 : static_cast<uint32_t>(ZemSettings::kDefaultMaximumDataSize);
    });
  }
  return sufficientDiskSpaceAvailable(File(DevicePaths::applicationDataFolder()), maximumDataSize, additionalBytes);
}

bool DiskSpaceChecker::sufficientDiskSpaceAvailable(const File& folder, uint32_t maximumDataSizeKiB,
                                                    long additionalBytes) {
  const uint64_t total = folder.fileSystemTotalSpace();
  // The private temporary folder holds copies that go away with their task: not stored data.
  const uint64_t stored = folder.totalSize(File(folder, TempFile::kPrivateFolderName));
  const uint32_t used = static_cast<uint32_t>(stored) + static_cast<uint32_t>(additionalBytes);
  const uint32_t maxSize = maximumDataSizeKiB << 10;
  if (used <= maxSize) {
    ZEM_TRACE("usedSpace = " << used << " / maxSize = " << maxSize);
    return true;
  }
  ZEM_ERROR("Used disk space is too high (used = " << used << " bytes / total = " << total << " bytes");
  return false;
}
