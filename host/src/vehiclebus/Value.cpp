#include "kest/vehiclebus/Value.h"

#include <mutex>
#include <utility>

#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/PhysicalValue.h"
#include "vehiclebus/ValueImpl.h"

namespace VehicleBus {

Value::Impl::Impl(std::string name, Route route, const BitField& bits, bool isSigned, double factor, double offset)
    : Decoder(std::move(route)),
      name_(std::move(name)),
      bits_(bits),
      signed_(isSigned),
      factor_(factor),
      offset_(offset) {}

void Value::Impl::decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) {
  if (length < bits_.bytesNeeded()) {
    return;
  }
  const double physical = physicalValue(bits_, signed_, factor_, offset_, data);
  value_.store(physical, std::memory_order_relaxed);
  hasValue_.store(true, std::memory_order_release);
  listeners_.notify([&](ValueEventListener& listener) { listener.valueEvent(*owner_, timestampUs, physical); });
}

std::optional<double> Value::Impl::currentValue() const {
  if (!hasValue_.load(std::memory_order_acquire)) {
    return std::nullopt;
  }
  return value_.load(std::memory_order_relaxed);
}

Value::Value(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher)
    : dispatcher_(std::move(dispatcher)), impl_(std::move(impl)) {
  impl_->setOwner(this);
}

Value::~Value() { dispatcher_->impl().remove(impl_.get()); }

const std::string& Value::getName() const { return impl_->name(); }

std::optional<double> Value::getCurrentValue() const { return impl_->currentValue(); }

void Value::addListener(ValueEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().add(listener);
}

void Value::removeListener(ValueEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().remove(listener);
}

}  // namespace VehicleBus
