// One boolean vehicle property served by a vehicle-property library: its cached value, kept up to
// date by the library's change callback, and the listener told of changes.
// Thread safety: every method may be called from any thread. The value is atomic; listenerMutex_
// guards listener_ and is held while the listener is called.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "kolconfig/Types.h"
#include "libraries/VehiclePropertyEventListener.h"
#include "libraries/VehiclePropertySharedLibrary.h"
#include "zem/VehiclePropertyLibrary.h"

class VehicleProperty {
 public:
  // Longest property name, in bytes, taken from a library's callback; a longer one is cut to
  // this length (and so matches no property).
  static constexpr size_t kMaxCallbackNameBytes = 256;

  // A property bound to origin.libraryName (taken from SharedLibraries, opened and initialised on
  // first use) with its value read by getVehicleProperty(propertyName, propertyValueWhenUnknown).
  // Never null; a library that cannot be loaded yields false after its logged errors.
  static std::shared_ptr<VehicleProperty> create(
      const Sarnet_Configuration::Types::LibraryCallVehiclePropertyOrigin& origin);
  ~VehicleProperty();
  VehicleProperty(const VehicleProperty&) = delete;
  VehicleProperty& operator=(const VehicleProperty&) = delete;

  // The last value read or reported.
  bool getValue() const { return value_.load(); }
  const std::string& getPropertyName() const { return propertyName_; }

  // Sets the listener (not owned; REQUIRES: it outlives detachListener()) and registers
  // VehiclePropertyCallback with this object as context. REQUIRES: no listener attached.
  // Once SharedLibraries::clear() gave the library up, attaching and detaching only set the
  // listener: a released library calls nobody.
  void attachListener(VehicleProperties::VehiclePropertyEventListener* listener);
  // Unregisters one registration of VehiclePropertyCallback and clears the listener. When it
  // returns no event reaches the former listener (one in flight has finished).
  // REQUIRES: not called from the listener's own vehiclePropertyEvent (it waits for that call).
  void detachListener();

  // A change reported by the library. An update for another name than getPropertyName() is
  // ignored: the library calls every registered callback for every property. Otherwise logs DEBUG
  // "VehiclePropertyCallback() for '<name>' with new value=<status text>", caches the value that
  // `status` stands for (UNKNOWN: propertyValueWhenUnknown) and, with a listener attached, tells
  // it the property's VehiclePropertyType; a name outside that enumeration logs ERROR
  // "Unable to parse the enum value " + name and tells nobody. Never throws.
  void updateProperty(const std::string& name, _VehiclePropertyStatus status);

 private:
  // Lets only create() build one, through std::make_shared.
  struct PrivateTag {
    explicit PrivateTag() = default;
  };

 public:
  VehicleProperty(PrivateTag tag, const Sarnet_Configuration::Types::LibraryCallVehiclePropertyOrigin& origin,
                  const std::shared_ptr<VehiclePropertySharedLibrary>& library);

 private:
  const std::string libraryName_;
  const std::string propertyName_;
  const bool valueWhenUnknown_;
  // Weak: the library lives as long as SharedLibraries keeps it, so clearing the tables releases
  // it at once, on the clearing thread, and a property dropped by a callback on the library's own
  // thread never unloads the library under that thread's feet.
  const std::weak_ptr<VehiclePropertySharedLibrary> library_;
  std::atomic<bool> value_{false};
  std::mutex listenerMutex_;
  VehicleProperties::VehiclePropertyEventListener* listener_ = nullptr;  // guarded by listenerMutex_
};

// The one change callback handed to every vehicle-property library. Acts only for a context that
// is a live VehicleProperty made by create(): a null, unknown or destroyed context is dropped
// silently, so a library calling late never touches a destroyed object. The name is read up to
// VehicleProperty::kMaxCallbackNameBytes bytes.
extern "C" void VehiclePropertyCallback(void* context, const char* propertyName, _VehiclePropertyStatus status);
