// Decodes CAN frames into the physical values of a DBC file's signals with the daemon's own
// bit-field and scaling code, decoding exactly the signals an import of the file puts on a unit.
// Thread safety: immutable once built; decode() may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/vehiclebus/CanFrame.h"
#include "kest/vehiclebus/DbcFile.h"

namespace VehicleBus {

class KEST_EXPORT FrameDecoder {
 public:
  // A signal of the file and its message; both point into dbc().
  struct Entry {
    const DbcMessage* message;
    const DbcSignal* signal;
  };
  // One decoded signal: signals()[index] at `physical` (raw x factor + offset).
  struct Decoded {
    std::uint32_t index;
    double physical;
  };
  // A signal that is never decoded, and why ("multiplexed signal", the bit-field check's reason).
  struct LeftOut {
    Entry entry;
    std::string reason;
  };
  // Chooses signals by their message and name; true keeps the signal.
  using Filter = std::function<bool(const DbcMessage&, const DbcSignal&)>;

  // Takes `dbc` and prepares every signal that `keep` accepts (every signal when `keep` is
  // empty), checked in file order. Left out, and listed in leftOut(), is what an import leaves off
  // a unit or the unit refuses: a signal whose unsupportedReason() is not empty, whose bits do not
  // fit a frame or its message's length, or whose MESSAGE.SIGNAL name an earlier signal has.
  // Signals `keep` refuses are neither decoded nor listed.
  explicit FrameDecoder(DbcFile dbc, const Filter& keep = Filter());
  ~FrameDecoder();
  FrameDecoder(FrameDecoder&&) noexcept;
  FrameDecoder& operator=(FrameDecoder&&) noexcept;

  // Decodes `frame` into `*values` (cleared first): one entry per decodable signal of its
  // identifier (standard or extended; of every message with it, as a unit would decode them) that
  // the frame carries all bytes of. A remote frame decodes nothing. Returns the first message of
  // the file with the frame's identifier when at least one signal was decoded, null otherwise.
  const DbcMessage* decode(const CanFrame& frame, std::vector<Decoded>* values) const;

  // The decodable signals, grouped by identifier in the order the identifiers first appear, each
  // group in file order; Decoded::index points into it.
  const std::vector<Entry>& signals() const;
  // The signals left out, in file order.
  const std::vector<LeftOut>& leftOut() const;
  const DbcFile& dbc() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace VehicleBus
