// The decoder behind a numeric Value: raw bits x factor + offset, reported for every frame.
// Thread safety: decode() and the listener list need the dispatcher's lock; currentValue() is
// lock-free and may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "kest/vehiclebus/Value.h"
#include "vehiclebus/BitField.h"
#include "vehiclebus/Decoder.h"

namespace VehicleBus {

class Value::Impl final : public Decoder {
 public:
  Impl(std::string name, Route route, const BitField& bits, bool isSigned, double factor, double offset);

  void decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) override;

  const std::string& name() const { return name_; }
  std::optional<double> currentValue() const;
  // REQUIRES: the dispatcher's lock is held.
  ListenerList<ValueEventListener>& listeners() { return listeners_; }
  // REQUIRES: set before the decoder is registered.
  void setOwner(const Value* owner) { owner_ = owner; }

 private:
  const std::string name_;
  const BitField bits_;
  const bool signed_;
  const double factor_;
  const double offset_;
  const Value* owner_ = nullptr;
  // Written under the dispatcher's lock: value_ first, then hasValue_ (release).
  std::atomic<double> value_{0};
  std::atomic<bool> hasValue_{false};
  ListenerList<ValueEventListener> listeners_;  // guarded by the dispatcher's lock
};

}  // namespace VehicleBus
