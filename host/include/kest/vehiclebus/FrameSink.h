// Where a frame source or the injection servlet hands its frames: the process's BusDispatcher by
// default, a recorder in tests.
// Thread safety: a sink is called from the source's own thread; the default sink may be called
// from any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CanFrame.h"

namespace VehicleBus {

// Takes frames of one interface, in order.
using FrameSink = std::function<void(const std::string& interface, const std::vector<CanFrame>& frames)>;

// `sink` itself, or BusDispatcher::instance().dispatch when it is empty.
inline FrameSink sinkOrDispatcher(FrameSink sink) {
  if (sink) return sink;
  return [](const std::string& interface, const std::vector<CanFrame>& frames) {
    BusDispatcher::instance().dispatch(interface, frames);
  };
}

}  // namespace VehicleBus
