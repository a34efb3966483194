// A numeric signal of the vehicle bus and the interface of those told about its values.
// Thread safety: as Signal.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kest/Export.h"

namespace VehicleBus {

class BusDispatcher;

class Value;

// Told of every decoded value (not only changes). Called with the dispatcher's lock held: it must
// not throw and must not add or remove vehicle-bus listeners or sources.
class KEST_EXPORT ValueEventListener {
 public:
  virtual ~ValueEventListener() = default;
  virtual void valueEvent(const Value& value, std::int64_t timestampUs, double physical) = 0;
};

// A numeric signal built by ValueFactory from an ArrayValueSignal: physical = raw x factor + offset.
class KEST_EXPORT Value {
 public:
  virtual ~Value();
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  const std::string& getName() const;
  // The physical value decoded from the last frame that carried the signal; empty until then.
  std::optional<double> getCurrentValue() const;
  void addListener(ValueEventListener* listener);
  // As Signal::removeListener.
  void removeListener(ValueEventListener* listener);

  class Impl;

 private:
  friend class ValueFactory;
  Value(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher);
  const std::shared_ptr<BusDispatcher> dispatcher_;  // registered with it; kept alive for this source's lifetime
  std::unique_ptr<Impl> impl_;
};

}  // namespace VehicleBus
