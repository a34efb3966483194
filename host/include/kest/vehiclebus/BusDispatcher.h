// A vehicle bus: takes frames from every frame source, reassembles J1939 transfers and hands each
// frame to the sources (signals, values, byte fields) that decode it. Owned through a shared_ptr
// by whoever owns the bus (the host's ExtensionServices; a test or benchmark its own); every
// source registered with it keeps it alive until the source is destroyed.
// Thread safety: every method may be called from any thread. Frames are dispatched one at a time
// for the whole dispatcher under one lock, which listener removal also takes: when a remove returns,
// no event of that listener runs. Listeners are called with that lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/vehiclebus/CanFrame.h"

namespace VehicleBus {

class KEST_EXPORT BusDispatcher {
 public:
  // A J1939 BAM transfer whose next packet has not come this long after the previous one is
  // dropped with everything received of it.
  static constexpr std::int64_t kTransportTimeoutUs = 750'000;

  // A dispatcher with no sources and no interfaces set.
  BusDispatcher();
  ~BusDispatcher();

  // The interface a signal without busInterface listens to: the first of setInterfaces(), "sim0"
  // when none was set.
  std::string defaultInterface() const;
  // Names the configured interfaces in order (zem-host's --can options). Sources built later use
  // the first as their default; sources already built keep theirs.
  void setInterfaces(const std::vector<std::string>& interfaces);

  // Decodes one frame received on `interface`. Frames too short for a signal leave that signal
  // unchanged; remote frames decode nothing; CAN FD frames feed the decoders of their identifier
  // but no J1939 group or transfer. Never throws.
  void dispatch(const std::string& interface, const CanFrame& frame);
  // Dispatches the frames in order, taking the lock once per frame so that listener changes may
  // interleave. Never throws.
  void dispatch(const std::string& interface, const std::vector<CanFrame>& frames);

  // Counters, for diagnosis and tests.
  std::size_t registeredSources() const;
  // J1939 transfers begun and not yet completed or dropped, over every interface.
  std::size_t openTransfers() const;

  class Impl;  // the decoder index, private to the framework
  Impl& impl() { return *impl_; }

  BusDispatcher(const BusDispatcher&) = delete;
  BusDispatcher& operator=(const BusDispatcher&) = delete;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace VehicleBus
