// The global settings file: whatever "settings.xml" holds, loading it yields a document (the file's
// or the defaults, written back) and the values the application reads from it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/ZemSettings.h"
#include "kolconfig/XSDEnumException.h"

namespace {

namespace Types = Sarnet_Configuration::Types;

std::string& settingsPath() {
  static std::string path;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  File(DevicePaths::applicationDataFolder()).mkdirs();
  settingsPath() = DevicePaths::applicationDataFolder() + "/settings.xml";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zem_fuzz::writeFile(settingsPath(), zem_fuzz::text(data, size));
  ZemSettings settings;
  settings.load();
  if (!settings.isLoaded()) std::abort();
  const std::string level = settings.read([](const Types::ZemGlobalSettings* document) {
    if (document == nullptr) std::abort();
    static_cast<void>(document->get_replayHistorySize());
    static_cast<void>(document->get_maximumDataSize());
    return document->has_componentLogLevel() ? document->get_componentLogLevel() : std::string();
  });
  try {
    static_cast<void>(Types::LogLevelType::parse(level));
  } catch (const XSDEnumException&) {
  }
  return 0;
}
