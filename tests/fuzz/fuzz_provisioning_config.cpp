// The provisioning configuration: whatever the installed "config.xml" holds, the property map loads
// it (or stays empty) and answers reads of its names, through both the plain and the at-once path.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "properties/ProvisioningAdapterMap.h"

namespace {

// Names of the default configuration and a few odd ones.
const char* const kNames[] = {
    "ZEM.LOGLEVEL", "Unit.Name", "Unit.Marker", "Comfort.Presets", "Vehicle.ReportInterval", "s", "", "."};

std::string& configPath() {
  static std::string path;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  File(DevicePaths::installedConfigFolder()).mkdirs();
  configPath() = DevicePaths::installedConfigFolder() + "/" + DevicePaths::kConfigFileName;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zem_fuzz::writeFile(configPath(), zem_fuzz::text(data, size));
  ProvisioningAdapterMap map;
  map.reloadConfig();
  for (const char* name : kNames) {
    static_cast<void>(map.getPropertyValue(name));
    std::string value;
    static_cast<void>(map.tryGetPropertyValueAtOnce(name, &value));
  }
  map.release();
  return 0;
}
