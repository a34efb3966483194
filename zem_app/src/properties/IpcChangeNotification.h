// Sends the "ZemVehicleProperty" change notification (a serialised property result) to every
// component listening on the bus. Stateless.
// Thread safety: safe from any thread (the IPC service synchronises).
#pragma once

#include <string>

class IpcChangeNotification {
 public:
  // Emits the signal with the byte-field parameter "property" = `text`. Failures are logged
  // ("failed with error ...") and swallowed.
  void sendChangeNotification(const std::string& text) const;
};
