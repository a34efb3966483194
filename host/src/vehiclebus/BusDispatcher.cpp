#include "kest/vehiclebus/BusDispatcher.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>

#include "kest/ApplicationLogger.h"
#include "vehiclebus/BusDispatcherImpl.h"

namespace VehicleBus {

namespace {

constexpr const char* kSimulatedInterface = "sim0";
constexpr unsigned kPduFormatBroadcast = 240;  // PF from here on: PDU2, the group ends in a group extension

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// BusDispatcher::Impl

BusDispatcher::Impl::Impl() : transport_(kTransportTimeoutUs) {}

int BusDispatcher::Impl::findInterface(const std::string& name) const {
  for (std::size_t i = 0; i < interfaceNames_.size(); ++i) {
    if (interfaceNames_[i] == name) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

unsigned BusDispatcher::Impl::internInterface(const std::string& name) {
  const int found = findInterface(name);
  if (found >= 0) {
    return static_cast<unsigned>(found);
  }
  interfaceNames_.push_back(name);
  groupDecoders_.push_back(0);
  return static_cast<unsigned>(interfaceNames_.size() - 1);
}

void BusDispatcher::Impl::add(Decoder* decoder) {
  const Route& route = decoder->route();
  const std::lock_guard<std::mutex> lock(mutex_);
  const unsigned interface = internInterface(route.interface);
  if (route.kind == Route::Kind::kFrame) {
    byFrame_[frameKey(interface, route.extended, route.id)].push_back(decoder);
  } else {
    byGroup_[groupKey(interface, route.id)].push_back(J1939Entry{decoder, route.sourceAddress});
    ++groupDecoders_[interface];
  }
  sources_.fetch_add(1, std::memory_order_relaxed);
}

void BusDispatcher::Impl::remove(Decoder* decoder) {
  const Route& route = decoder->route();
  const std::lock_guard<std::mutex> lock(mutex_);
  const int interface = findInterface(route.interface);
  if (interface < 0) {
    return;
  }
  const auto unit = static_cast<unsigned>(interface);
  if (route.kind == Route::Kind::kFrame) {
    const auto found = byFrame_.find(frameKey(unit, route.extended, route.id));
    if (found == byFrame_.end()) {
      return;
    }
    auto& decoders = found->second;
    const auto end = std::remove(decoders.begin(), decoders.end(), decoder);
    sources_.fetch_sub(static_cast<std::size_t>(decoders.end() - end), std::memory_order_relaxed);
    decoders.erase(end, decoders.end());
    if (decoders.empty()) {
      byFrame_.erase(found);
    }
  } else {
    const auto found = byGroup_.find(groupKey(unit, route.id));
    if (found == byGroup_.end()) {
      return;
    }
    auto& entries = found->second;
    const auto end = std::remove_if(entries.begin(), entries.end(),
                                    [decoder](const J1939Entry& entry) { return entry.decoder == decoder; });
    const auto removed = static_cast<std::size_t>(entries.end() - end);
    sources_.fetch_sub(removed, std::memory_order_relaxed);
    groupDecoders_[unit] -= removed;
    entries.erase(end, entries.end());
    if (entries.empty()) {
      byGroup_.erase(found);
    }
  }
}

std::string BusDispatcher::Impl::defaultInterface() const {
  const std::lock_guard<std::mutex> lock(interfacesMutex_);
  return interfaces_.empty() ? std::string(kSimulatedInterface) : interfaces_.front();
}

void BusDispatcher::Impl::setInterfaces(const std::vector<std::string>& interfaces) {
  const std::lock_guard<std::mutex> lock(interfacesMutex_);
  interfaces_ = interfaces;
}

void BusDispatcher::Impl::deliverJ1939(unsigned interface, std::uint32_t pgn, std::uint8_t sender,
                                       const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) {
  const auto found = byGroup_.find(groupKey(interface, pgn));
  if (found == byGroup_.end()) {
    return;
  }
  for (const J1939Entry& entry : found->second) {
    if (entry.sourceAddress < 0 || entry.sourceAddress == sender) {
      entry.decoder->decode(data, length, timestampUs);
    }
  }
}

void BusDispatcher::Impl::dispatchLocked(const std::string& interfaceName, const CanFrame& frame) {
  const int found = findInterface(interfaceName);
  if (found < 0) {
    return;  // no source listens there, and so no transfer is open there
  }
  const auto interface = static_cast<unsigned>(found);
  if (transport_.openTransfers() != 0) {
    transport_.expire(interface, frame.timestampUs);
  }
  if (!frame.remote) {
    const std::uint8_t* data = frame.data.data();
    const std::size_t length =
        std::min<std::size_t>(frame.length, frame.fd ? CanFrame::kMaxData : CanFrame::kMaxClassicData);
    const auto decoders = byFrame_.find(frameKey(interface, frame.extended, frame.id));
    if (decoders != byFrame_.end()) {
      for (Decoder* decoder : decoders->second) {
        decoder->decode(data, length, frame.timestampUs);
      }
    }
    // J1939 runs on classical frames: an FD frame carries no parameter group of this transport.
    if (frame.extended && !frame.fd && (groupDecoders_[interface] != 0 || transport_.openTransfers() != 0)) {
      const std::uint32_t id = frame.id & CanFrame::kMaxExtendedId;
      std::uint32_t pgn = (id >> 8) & 0x3FFFF;
      if (((pgn >> 8) & 0xFF) < kPduFormatBroadcast) {
        pgn &= 0x3FF00;  // PDU1: the low byte is the destination address
      }
      const auto sender = static_cast<std::uint8_t>(id & 0xFF);
      deliverJ1939(interface, pgn, sender, data, length, frame.timestampUs);
      if (pgn == J1939Transport::kConnectionManagementPgn) {
        transport_.connectionManagement(interface, sender, data, length, frame.timestampUs,
                                        [this, interface](std::uint32_t transported) {
                                          return byGroup_.count(groupKey(interface, transported)) != 0;
                                        });
      } else if (pgn == J1939Transport::kDataTransferPgn &&
                 transport_.dataTransfer(interface, sender, data, length, frame.timestampUs, &completed_)) {
        deliverJ1939(interface, completed_.pgn, completed_.sourceAddress, completed_.bytes.data(),
                     completed_.bytes.size(), frame.timestampUs);
      }
    }
  }
  openTransfers_.store(transport_.openTransfers(), std::memory_order_relaxed);
}

std::size_t BusDispatcher::Impl::dropTransfers() {
  // A time far beyond any frame's: every transfer has timed out by then. Halved so that the
  // difference with any real time stamp cannot overflow.
  constexpr std::int64_t kFarFutureUs = std::numeric_limits<std::int64_t>::max() / 2;
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t open = transport_.openTransfers();
  for (unsigned interface = 0; interface < interfaceNames_.size(); ++interface) {
    transport_.expire(interface, kFarFutureUs);
  }
  openTransfers_.store(transport_.openTransfers(), std::memory_order_relaxed);
  return open - transport_.openTransfers();
}

// ---------------------------------------------------------------------------------------------------------------
// BusDispatcher

BusDispatcher::BusDispatcher() : impl_(std::make_unique<Impl>()) {}

BusDispatcher::~BusDispatcher() = default;

std::string BusDispatcher::defaultInterface() const { return impl_->defaultInterface(); }

void BusDispatcher::setInterfaces(const std::vector<std::string>& interfaces) { impl_->setInterfaces(interfaces); }

void BusDispatcher::dispatch(const std::string& interface, const CanFrame& frame) {
  try {
    const std::lock_guard<std::mutex> lock(impl_->mutex());
    impl_->dispatchLocked(interface, frame);
  } catch (const std::exception& e) {
    ZEM_WARN("frame on " << ApplicationLogger::shortened(interface, 64) << " not decoded: " << e.what());
  }
}

void BusDispatcher::dispatch(const std::string& interface, const std::vector<CanFrame>& frames) {
  for (const CanFrame& frame : frames) {
    dispatch(interface, frame);
  }
}

std::size_t BusDispatcher::registeredSources() const { return impl_->registeredSources(); }

std::size_t BusDispatcher::openTransfers() const { return impl_->openTransfers(); }

}  // namespace VehicleBus
