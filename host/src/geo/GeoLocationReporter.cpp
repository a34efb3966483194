#include "kest/GeoLocationReporter.h"

#include <cmath>
#include <sstream>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"

GeoLocationReporter::GeoLocationReporter(std::weak_ptr<ExtensionServices> services,
                                         BackendAdapterCommunicatorIF* communicator)
    : services_(std::move(services)), communicator_(communicator) {}

std::optional<std::pair<double, double>> GeoLocationReporter::getLastPosition() const {
  const File positionFile(DevicePaths::dataFolder() + "/gnss/position");
  std::string content;
  if (!positionFile.isFile() || !positionFile.readAll(&content)) return std::nullopt;
  std::istringstream in(content);
  double latitude = 0;
  double longitude = 0;
  std::string rest;
  if (!(in >> latitude >> longitude) || (in >> rest) || !std::isfinite(latitude) || !std::isfinite(longitude) ||
      std::fabs(latitude) > 90.0 || std::fabs(longitude) > 180.0) {
    ZEM_DEBUG("Ignoring malformed position file " << positionFile.getPath());
    return std::nullopt;
  }
  return std::make_pair(latitude, longitude);
}
