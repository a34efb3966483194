// A raw byte field of the vehicle bus (a CAN frame's bytes or a J1939 parameter group's).
// Thread safety: as Signal.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kest/Export.h"

namespace VehicleBus {

class BusDispatcher;

class ByteField;

// Told of every decoded byte field. Called with the dispatcher's lock held: it must not throw and
// must not add or remove vehicle-bus listeners or sources.
class KEST_EXPORT ByteFieldEventListener {
 public:
  virtual ~ByteFieldEventListener() = default;
  virtual void byteFieldEvent(const ByteField& field, std::int64_t timestampUs,
                              const std::vector<std::uint8_t>& bytes) = 0;
};

// Built by ByteFieldFactory from a RawCanByteFieldSignal (bytes of frames with one identifier) or
// a J1939ByteFieldSignal (bytes of one parameter group, single frames and reassembled BAM
// transfers alike, optionally from one source address only).
class KEST_EXPORT ByteField {
 public:
  virtual ~ByteField();
  ByteField(const ByteField&) = delete;
  ByteField& operator=(const ByteField&) = delete;

  const std::string& getName() const;
  // The bytes taken from the last message that carried the field, in message order; empty
  // (no value) until such a message came.
  std::optional<std::vector<std::uint8_t>> getRawValue() const;
  void addListener(ByteFieldEventListener* listener);
  // As Signal::removeListener.
  void removeListener(ByteFieldEventListener* listener);

  class Impl;

 private:
  friend class ByteFieldFactory;
  ByteField(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher);
  const std::shared_ptr<BusDispatcher> dispatcher_;  // registered with it; kept alive for this source's lifetime
  std::unique_ptr<Impl> impl_;
};

}  // namespace VehicleBus
