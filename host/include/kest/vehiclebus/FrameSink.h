// Where a frame source or the injection servlet hands its frames: the host's BusDispatcher by
// default, a recorder in tests.
// Thread safety: a sink is called from the source's own thread; the default sink may be called
// from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CanFrame.h"

namespace VehicleBus {

// Takes frames of one interface, in order.
using FrameSink = std::function<void(const std::string& interface, const std::vector<CanFrame>& frames)>;

// `sink` itself, or `dispatcher`->dispatch when it is empty; that sink keeps `dispatcher` alive.
// REQUIRES: sink or dispatcher != nullptr.
inline FrameSink sinkOrDispatcher(FrameSink sink, std::shared_ptr<BusDispatcher> dispatcher) {
  if (sink) return sink;
  return [dispatcher = std::move(dispatcher)](const std::string& interface, const std::vector<CanFrame>& frames) {
    dispatcher->dispatch(interface, frames);
  };
}

}  // namespace VehicleBus
