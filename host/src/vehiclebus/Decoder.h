// What the dispatcher knows of a signal, value or byte field: where its bytes come from (Route)
// and how to decode them (Decoder), plus the listener list every source kind shares.
// Thread safety: decode() and every ListenerList method run with the dispatcher's lock held.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VehicleBus {

// The messages a decoder receives: the frames of one identifier, or the messages (single frames
// and reassembled transfers) of one J1939 parameter group.
struct Route {
  enum class Kind { kFrame, kJ1939 };
  Kind kind = Kind::kFrame;
  std::string interface;
  bool extended = false;   // kFrame only
  std::uint32_t id = 0;    // the CAN identifier (kFrame) or the parameter group number (kJ1939)
  int sourceAddress = -1;  // kJ1939 only: the one sender taken, -1 for any
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Decodes one message of the route: `length` bytes at `data` (for a frame at most
  // CanFrame::kMaxData, with the whole CanFrame::data readable; for J1939 at most the largest
  // transfer). Leaves the decoder unchanged when the message is too short for it. Must not throw.
  // REQUIRES: the dispatcher's lock is held.
  virtual void decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) = 0;
  const Route& route() const { return route_; }

 protected:
  explicit Decoder(Route route) : route_(std::move(route)) {}

 private:
  const Route route_;
};

// Listeners of one source, in the order added; a listener added twice is called twice.
// Guarded by the dispatcher's lock: every method requires it held.
template <typename Listener>
class ListenerList {
 public:
  void add(Listener* listener) { listeners_.push_back(listener); }
  void remove(Listener* listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
  }
  template <typename Call>
  void notify(const Call& call) const {
    for (Listener* listener : listeners_) {
      call(*listener);
    }
  }

 private:
  std::vector<Listener*> listeners_;
};

}  // namespace VehicleBus
