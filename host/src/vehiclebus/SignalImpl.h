// The decoder behind a boolean Signal: a byte match or a range of raw values, reported on change.
// Thread safety: decode() and the listener list need the dispatcher's lock; currentState() is
// lock-free and may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kest/vehiclebus/Signal.h"
#include "vehiclebus/BitField.h"
#include "vehiclebus/Decoder.h"

namespace VehicleBus {

class Signal::Impl final : public Decoder {
 public:
  enum class Kind { kMatch, kRange };
  // Use matching() or inRange(), which set the kind's parameters.
  Impl(std::string name, Route route, Kind kind, std::size_t bytesNeeded);

  // One piece of a byte match: the 8 frame bytes from `offset`, read little-endian, masked.
  struct MatchWord {
    std::size_t offset = 0;  // at most CanFrame::kMaxData - 8
    std::uint64_t mask = 0;
    std::uint64_t match = 0;
  };
  // True while (bytes & mask) == match for every word; `bytesNeeded`: the frame length that
  // carries every compared byte. REQUIRES: `words` is not empty.
  static std::unique_ptr<Impl> matching(std::string name, Route route, std::vector<MatchWord> words,
                                        std::size_t bytesNeeded);
  // True while minimum <= raw value of `bits` <= maximum.
  static std::unique_ptr<Impl> inRange(std::string name, Route route, const BitField& bits, double minimum,
                                       double maximum);

  void decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) override;

  const std::string& name() const { return name_; }
  std::optional<bool> currentState() const;
  // REQUIRES: the dispatcher's lock is held.
  ListenerList<SignalEventListener>& listeners() { return listeners_; }
  // The signal events are reported for. REQUIRES: set before the decoder is registered.
  void setOwner(const Signal* owner) { owner_ = owner; }

 private:
  static constexpr std::int8_t kNoState = -1;

  const std::string name_;
  const Kind kind_;
  const std::size_t bytesNeeded_;
  // kMatch: one word per 8 compared bytes, the first inline (the only one of a classical frame).
  MatchWord firstWord_;
  std::vector<MatchWord> moreWords_;
  std::optional<BitField> bits_;  // kRange
  double minimum_ = 0;            // kRange
  double maximum_ = 0;            // kRange
  const Signal* owner_ = nullptr;
  std::atomic<std::int8_t> state_{kNoState};     // written under the dispatcher's lock
  ListenerList<SignalEventListener> listeners_;  // guarded by the dispatcher's lock
};

}  // namespace VehicleBus
