// Reports the unit's position to the backend. This host has no positioning receiver: the reporter
// reads the last fix from DevicePaths::dataFolder() + "/gnss/position" ("latitude longitude" in
// decimal degrees) when present and keeps it for getLastPosition(); it sends nothing by itself.
// Thread safety: all operations are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "kest/Export.h"

class ExtensionServices;
class BackendAdapterCommunicatorIF;

class KEST_EXPORT GeoLocationReporter {
 public:
  GeoLocationReporter(std::weak_ptr<ExtensionServices> services, BackendAdapterCommunicatorIF* communicator);
  // The last position read, or empty when none is known. Reads the position file each call.
  std::optional<std::pair<double, double>> getLastPosition() const;

 private:
  std::weak_ptr<ExtensionServices> services_;
  BackendAdapterCommunicatorIF* communicator_;
};
