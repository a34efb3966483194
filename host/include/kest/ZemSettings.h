// The application's global settings: a ZemGlobalSettings document in "settings.xml" of the
// application data folder. Defaults (written when the file is missing or malformed):
//   maximumDataSize   = 102400 (KiB, i.e. 100 MiB for the application data folder)
//   replayHistorySize = 10     (finished tasks remembered by the task queue)
//   componentLogLevel = absent (the logger keeps its configured level)
// Thread safety: as ApplicationSettings.
#pragma once

#include "kest/ApplicationSettings.h"
#include "kest/Export.h"
#include "kolconfig/Types.h"

class KEST_EXPORT ZemSettings : public ApplicationSettings<Sarnet_Configuration::Types::ZemGlobalSettings> {
 public:
  static constexpr uint32_t kDefaultMaximumDataSize = 102400;
  static constexpr uint32_t kDefaultReplayHistorySize = 10;

  // Settings named "ZEM" stored in DevicePaths::applicationDataFolder() + "/settings.xml".
  ZemSettings();
  // Settings stored in `file` (tests).
  explicit ZemSettings(File file);

 protected:
  void setDefaults(Sarnet_Configuration::Types::ZemGlobalSettings& document) override;
};
