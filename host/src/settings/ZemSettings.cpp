#include "kest/ZemSettings.h"

#include "kest/DevicePaths.h"

ZemSettings::ZemSettings()
    : ZemSettings(File(File(DevicePaths::applicationDataFolder()), DevicePaths::kSettingsFileName)) {}

ZemSettings::ZemSettings(File file) : ApplicationSettings("ZEM", std::move(file)) {}

void ZemSettings::setDefaults(Sarnet_Configuration::Types::ZemGlobalSettings& document) {
  document.set_maximumDataSize(kDefaultMaximumDataSize);
  document.set_replayHistorySize(kDefaultReplayHistorySize);
  // componentLogLevel stays absent: the logger keeps the level it was configured with.
}
