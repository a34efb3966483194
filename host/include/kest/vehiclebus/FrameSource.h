// Where frames come from: a SocketCAN interface, the simulated bus's replay of a candump log.
// Every source delivers to the BusDispatcher it was given from a thread of its own.
// Thread safety: start() and stop() from one controlling thread.
#pragma once

#include <string>

#include "kest/Export.h"

namespace VehicleBus {

class KEST_EXPORT FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The interface name frames are delivered under.
  virtual const std::string& interface() const = 0;
  // Starts delivering. Throws std::runtime_error with the reason when the source cannot start
  // (no such interface, no CAN support in the kernel, an unreadable log).
  virtual void start() = 0;
  // Stops delivering and joins the source's thread; when it returns no frame of this source is
  // being dispatched. Idempotent; the destructor calls it.
  virtual void stop() = 0;
};

}  // namespace VehicleBus
