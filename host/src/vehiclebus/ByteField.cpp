#include "kest/vehiclebus/ByteField.h"

#include <utility>

#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/ByteFieldImpl.h"

namespace VehicleBus {

ByteField::Impl::Impl(std::string name, Route route, std::size_t startByte, std::size_t length)
    : Decoder(std::move(route)), name_(std::move(name)), startByte_(startByte), length_(length) {}

void ByteField::Impl::decode(const std::uint8_t* data, std::size_t length, std::int64_t timestampUs) {
  if (length_ == 0 ? length <= startByte_ : length < startByte_ + length_) {
    return;
  }
  const std::size_t taken = length_ == 0 ? length - startByte_ : length_;
  scratch_.assign(data + startByte_, data + startByte_ + taken);
  {
    const std::lock_guard<std::mutex> lock(valueMutex_);
    if (value_) {
      value_->assign(scratch_.begin(), scratch_.end());
    } else {
      value_ = scratch_;
    }
  }
  listeners_.notify([&](ByteFieldEventListener& listener) { listener.byteFieldEvent(*owner_, timestampUs, scratch_); });
}

std::optional<std::vector<std::uint8_t>> ByteField::Impl::rawValue() const {
  const std::lock_guard<std::mutex> lock(valueMutex_);
  return value_;
}

ByteField::ByteField(std::unique_ptr<Impl> impl, std::shared_ptr<BusDispatcher> dispatcher)
    : dispatcher_(std::move(dispatcher)), impl_(std::move(impl)) {
  impl_->setOwner(this);
}

ByteField::~ByteField() { dispatcher_->impl().remove(impl_.get()); }

const std::string& ByteField::getName() const { return impl_->name(); }

std::optional<std::vector<std::uint8_t>> ByteField::getRawValue() const { return impl_->rawValue(); }

void ByteField::addListener(ByteFieldEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().add(listener);
}

void ByteField::removeListener(ByteFieldEventListener* listener) {
  const std::lock_guard<std::mutex> lock(dispatcher_->impl().mutex());
  impl_->listeners().remove(listener);
}

}  // namespace VehicleBus
