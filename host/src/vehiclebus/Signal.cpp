#include "kest/vehiclebus/Signal.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/SignalImpl.h"

namespace VehicleBus {

Signal::Impl::Impl(std::string name, Route route, Kind kind, std::size_t bytesNeeded)
    : Decoder(std::move(route)), name_(std::move(name)), kind_(kind), bytesNeeded_(bytesNeeded) {}

std::unique_ptr<Signal::Impl> Signal::Impl::matching(std::string name, Route route, std::vector<MatchWord> words,
                                                     std::size_t bytesNeeded) {
  auto impl = std::make_unique<Impl>(std::move(name), std::move(route), Kind::kMatch, bytesNeeded);
  impl->firstWord_ = words.front();
  impl->moreWords_.assign(words.begin() + 1, words.end());
  return impl;
}

std::unique_ptr<Signal::Impl> Signal::Impl::inRange(std::string name, Route route, const BitField& bits, double minimum,
                                                    double maximum) {
  auto impl = std::make_unique<Impl>(std::move(name), std::move(route), Kind::kRange, bits.bytesNeeded());
  impl->bits_ = bits;
  impl->minimum_ = minimum;
  impl->maximum_ = maximum;
  return impl;
}

void Signal::Impl::decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) {
  if (length < bytesNeeded_) {
    return;
  }
  bool state = false;
  if (kind_ == Kind::kMatch) {
    const auto matches = [data](const MatchWord& word) {
      return (BitField::loadLittleEndian(data + word.offset) & word.mask) == word.match;
    };
    state = matches(firstWord_) && std::all_of(moreWords_.begin(), moreWords_.end(), matches);
  } else {
    const auto raw = static_cast<double>(bits_->extract(data));
    state = minimum_ <= raw && raw <= maximum_;
  }
  const auto encoded = static_cast<std::int8_t>(state);
  if (state_.load(std::memory_order_relaxed) == encoded) {
    return;
  }
  state_.store(encoded, std::memory_order_relaxed);
  listeners_.notify([&](SignalEventListener& listener) { listener.signalEvent(*owner_, timestampUs, state); });
}

std::optional<bool> Signal::Impl::currentState() const {
  const std::int8_t state = state_.load(std::memory_order_relaxed);
  if (state == kNoState) {
    return std::nullopt;
  }
  return state != 0;
}

Signal::Signal(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher)
    : dispatcher_(std::move(dispatcher)), impl_(std::move(impl)) {
  impl_->setOwner(this);
}

Signal::~Signal() { dispatcher_->impl().remove(impl_.get()); }

const std::string& Signal::getName() const { return impl_->name(); }

std::optional<bool> Signal::getCurrentState() const { return impl_->currentState(); }

void Signal::addListener(SignalEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().add(listener);
}

void Signal::removeListener(SignalEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().remove(listener);
}

}  // namespace VehicleBus
