// A boolean signal of the vehicle bus and the interface of those told about its changes.
// Thread safety: every method may be called from any thread. Events run on the thread that
// dispatches frames, one frame at a time per BusDispatcher.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kest/Export.h"

namespace VehicleBus {

class BusDispatcher;

class Signal;

// Told when a boolean signal changes state. Called with the dispatcher's lock held: it must not
// throw and must not add or remove vehicle-bus listeners or sources.
class KEST_EXPORT SignalEventListener {
 public:
  virtual ~SignalEventListener() = default;
  // `timestampUs` is the frame's time stamp (microseconds since the epoch).
  virtual void signalEvent(const Signal& signal, std::int64_t timestampUs, bool state) = 0;
};

// A boolean signal built by SignalFactory from a BytefieldMatchBooleanSignal or a
// ValueRangeBooleanSignal. It reports only changes of its state; the first decoded frame counts as
// a change. It stays registered with its BusDispatcher until destroyed.
class KEST_EXPORT Signal {
 public:
  virtual ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  // The configured signalName; empty when the configuration gave none.
  const std::string& getName() const;
  // The state decoded from the last frame that carried the signal; empty until such a frame came.
  std::optional<bool> getCurrentState() const;
  // Adds a listener (not owned); adding it twice calls it twice.
  void addListener(SignalEventListener* listener);
  // Removes every occurrence of the listener. When it returns, no event for this listener is
  // running or will start, so the listener may be destroyed.
  void removeListener(SignalEventListener* listener);

  class Impl;  // the decoder, private to the framework

 private:
  friend class SignalFactory;
  Signal(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher);
  const std::shared_ptr<BusDispatcher> dispatcher_;  // registered with it; kept alive for this source's lifetime
  std::unique_ptr<Impl> impl_;
};

}  // namespace VehicleBus
