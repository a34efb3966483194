// The dispatcher's index of decoders and its J1939 reassembly, behind BusDispatcher.
// Thread safety: one mutex (mutex()) guards the index, the transfers and every source's listener
// list; dispatch and listener calls run with it held. The interface list has a mutex of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CanFrame.h"
#include "vehiclebus/Decoder.h"
#include "vehiclebus/J1939Transport.h"

namespace VehicleBus {

class BusDispatcher::Impl {
 public:
  Impl();

  // The lock that dispatch, registration and listener changes take.
  std::mutex& mutex() { return mutex_; }

  // Registers `decoder` (not owned) under its route. It receives messages until removed.
  // REQUIRES: mutex() is not held by the caller.
  void add(Decoder* decoder);
  // Unregisters `decoder`; when it returns the decoder is not running and will not run.
  // REQUIRES: mutex() is not held by the caller.
  void remove(Decoder* decoder);

  std::string defaultInterface() const;
  void setInterfaces(const std::vector<std::string>& interfaces);

  // REQUIRES: mutex() is held.
  void dispatchLocked(const std::string& interface, const CanFrame& frame);

  // Drops every open J1939 transfer with what was received of it. Returns how many were open.
  // REQUIRES: mutex() is not held by the caller.
  std::size_t dropTransfers();

  std::size_t registeredSources() const { return sources_.load(std::memory_order_relaxed); }
  std::size_t openTransfers() const { return openTransfers_.load(std::memory_order_relaxed); }

 private:
  struct J1939Entry {
    Decoder* decoder;
    int sourceAddress;  // -1: any sender
  };

  // Keys of the index: the interned interface, then the identifier or the group number.
  static std::uint64_t frameKey(unsigned interface, bool extended, std::uint32_t id) {
    return (static_cast<std::uint64_t>(interface) << 33) | (static_cast<std::uint64_t>(extended) << 32) | id;
  }
  static std::uint64_t groupKey(unsigned interface, std::uint32_t pgn) {
    return (static_cast<std::uint64_t>(interface) << 32) | pgn;
  }
  // The interned number of `name`, -1 when no source ever named it. REQUIRES: mutex_ held.
  int findInterface(const std::string& name) const;
  unsigned internInterface(const std::string& name);
  void deliverJ1939(unsigned interface, std::uint32_t pgn, std::uint8_t sender, const std::uint8_t* data,
                    std::size_t length, std::int64_t timestampUs);

  std::mutex mutex_;
  // Guarded by mutex_. Interface names are interned for good: there are as many as configured.
  std::vector<std::string> interfaceNames_;
  std::unordered_map<std::uint64_t, std::vector<Decoder*>> byFrame_;
  std::unordered_map<std::uint64_t, std::vector<J1939Entry>> byGroup_;
  std::vector<std::size_t> groupDecoders_;  // per interface: J1939 decoders registered
  J1939Transport transport_;
  J1939Transport::Message completed_;  // reused buffer of the last completed transfer

  // Readable without mutex_ (written under it).
  std::atomic<std::size_t> sources_{0};
  std::atomic<std::size_t> openTransfers_{0};

  mutable std::mutex interfacesMutex_;
  std::vector<std::string> interfaces_;  // guarded by interfacesMutex_
};

}  // namespace VehicleBus
