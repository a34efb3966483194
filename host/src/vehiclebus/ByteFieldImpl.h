// The decoder behind a ByteField: a run of a message's bytes, reported for every message.
// Thread safety: decode() and the listener list need the dispatcher's lock; rawValue() takes a
// mutex of its own and may be called from any thread, listeners included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kest/vehiclebus/ByteField.h"
#include "vehiclebus/Decoder.h"

namespace VehicleBus {

class ByteField::Impl final : public Decoder {
 public:
  // `length` bytes from `startByte`; length 0: every byte of the message from `startByte` on (at
  // least one).
  Impl(std::string name, Route route, std::size_t startByte, std::size_t length);

  void decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) override;

  const std::string& name() const { return name_; }
  std::optional<std::vector<std::uint8_t>> rawValue() const;
  // REQUIRES: the dispatcher's lock is held.
  ListenerList<ByteFieldEventListener>& listeners() { return listeners_; }
  // REQUIRES: set before the decoder is registered.
  void setOwner(const ByteField* owner) { owner_ = owner; }

 private:
  const std::string name_;
  const std::size_t startByte_;
  const std::size_t length_;
  const ByteField* owner_ = nullptr;
  std::vector<std::uint8_t> scratch_;  // the bytes listeners see; guarded by the dispatcher's lock
  mutable std::mutex valueMutex_;
  std::optional<std::vector<std::uint8_t>> value_;  // guarded by valueMutex_
  ListenerList<ByteFieldEventListener> listeners_;  // guarded by the dispatcher's lock
};

}  // namespace VehicleBus
