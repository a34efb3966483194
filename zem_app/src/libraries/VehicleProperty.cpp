#include "libraries/VehicleProperty.h"

#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "libraries/SharedLibraries.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

constexpr size_t kMaxLoggedName = 256;

std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedName); }

// The live VehicleProperty objects by the context pointer handed to libraries. create() adds an
// object, its destructor removes it; the callback only reaches objects it can lock here.
struct LiveProperties {
  std::mutex mutex;
  std::map<const void*, std::weak_ptr<VehicleProperty>> byContext;  // guarded by mutex
};

LiveProperties& liveProperties() {
  static LiveProperties live;
  return live;
}

}  // namespace

VehicleProperty::VehicleProperty(PrivateTag /*tag*/, const Types::LibraryCallVehiclePropertyOrigin& origin,
                                 const std::shared_ptr<VehiclePropertySharedLibrary>& library)
    : libraryName_(origin.get_libraryName()),
      propertyName_(origin.get_propertyName()),
      valueWhenUnknown_(origin.get_propertyValueWhenUnknown()),
      library_(library) {
  value_.store(library->getVehicleProperty(propertyName_, valueWhenUnknown_));
}

std::shared_ptr<VehicleProperty> VehicleProperty::create(const Types::LibraryCallVehiclePropertyOrigin& origin) {
  auto property = std::make_shared<VehicleProperty>(PrivateTag(), origin,
                                                    SharedLibraries::vehiclePropertyLibrary(origin.get_libraryName()));
  LiveProperties& live = liveProperties();
  const std::lock_guard<std::mutex> lock(live.mutex);
  live.byContext[property.get()] = property;
  return property;
}

VehicleProperty::~VehicleProperty() {
  LiveProperties& live = liveProperties();
  const std::lock_guard<std::mutex> lock(live.mutex);
  // The map's weak_ptr keeps this object's storage (made by make_shared) allocated until this
  // erase, so no other object can have registered under the same address meanwhile.
  live.byContext.erase(this);
}

void VehicleProperty::attachListener(VehicleProperties::VehiclePropertyEventListener* listener) {
  {
    const std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = listener;
  }
  if (const auto library = library_.lock()) library->addVehiclePropertyChangeCallback(&VehiclePropertyCallback, this);
}

void VehicleProperty::detachListener() {
  if (const auto library = library_.lock()) library->removeVehiclePropertyChangeCallback(&VehiclePropertyCallback);
  const std::lock_guard<std::mutex> lock(listenerMutex_);
  listener_ = nullptr;
}

void VehicleProperty::updateProperty(const std::string& name, _VehiclePropertyStatus status) {
  if (name != propertyName_) return;
  const int number = static_cast<int>(status);
  ZEM_DEBUG("VehiclePropertyCallback() for '"
            << shown(name) << "' with new value=" << VehiclePropertySharedLibrary::statusText(number));
  const bool value = VehiclePropertySharedLibrary::valueOfStatus(number, name, valueWhenUnknown_, libraryName_);
  value_.store(value);

  const std::lock_guard<std::mutex> lock(listenerMutex_);
  if (listener_ == nullptr) return;
  Types::VehiclePropertyType::Enum type{};
  try {
    type = Types::VehiclePropertyType::parse(name);
  } catch (const std::exception&) {
    ZEM_ERROR("Unable to parse the enum value " << shown(name));
    return;
  }
  try {
    listener_->vehiclePropertyEvent(type, value);
  } catch (const std::exception& e) {
    // Listeners must not throw; one that does must not unwind into the library's thread.
    ZEM_ERROR("Vehicle property listener failed for " << shown(name) << ": " << e.what());
  } catch (...) {
    ZEM_ERROR("Vehicle property listener failed for " << shown(name));
  }
}

extern "C" void VehiclePropertyCallback(void* context, const char* propertyName, _VehiclePropertyStatus status) {
  if (context == nullptr || propertyName == nullptr) return;
  std::shared_ptr<VehicleProperty> property;
  {
    LiveProperties& live = liveProperties();
    const std::lock_guard<std::mutex> lock(live.mutex);
    const auto found = live.byContext.find(context);
    if (found == live.byContext.end()) return;
    property = found->second.lock();
  }
  if (!property) return;
  try {
    property->updateProperty(std::string(propertyName, ::strnlen(propertyName, VehicleProperty::kMaxCallbackNameBytes)),
                             status);
  } catch (...) {
    // Nothing may unwind into the library's C code (an allocation failure at worst).
  }
}
