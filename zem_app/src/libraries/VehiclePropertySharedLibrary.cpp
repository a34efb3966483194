#include "libraries/VehiclePropertySharedLibrary.h"

#include <utility>

#include "kest/ApplicationLogger.h"

namespace {

// Property and library names come from the configuration and, in callbacks, from the library.
constexpr size_t kMaxLoggedName = 256;

std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedName); }

}  // namespace

VehiclePropertySharedLibrary::VehiclePropertySharedLibrary(std::string name) : SharedLibrary(std::move(name)) {}

VehiclePropertySharedLibrary::~VehiclePropertySharedLibrary() {
  releaseAPI();
  closeNow();
}

void* VehiclePropertySharedLibrary::entryPoint(const char* symbolName) const {
  void* const address = symbol(symbolName);
  if (address == nullptr) ZEM_ERROR("Impossible to find function " << symbolName << " in library " << shown(getName()));
  return address;
}

void VehiclePropertySharedLibrary::initialize() const {
  if (void* const address = entryPoint("initialize")) {
    reinterpret_cast<VehiclePropertyInitializeFunction>(address)();
  }
}

void VehiclePropertySharedLibrary::addVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback,
                                                                    void* context) const {
  if (void* const address = entryPoint("addVehiclePropertyChangeCallback")) {
    reinterpret_cast<VehiclePropertyAddCallbackFunction>(address)(callback, context);
  }
}

void VehiclePropertySharedLibrary::removeVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback) const {
  if (void* const address = entryPoint("removeVehiclePropertyChangeCallback")) {
    reinterpret_cast<VehiclePropertyRemoveCallbackFunction>(address)(callback);
  }
}

bool VehiclePropertySharedLibrary::getVehicleProperty(const std::string& propertyName, bool valueWhenUnknown) const {
  void* const address = entryPoint("getVehicleProperty");
  if (address == nullptr) return false;
  // Read as an int at once: a library may return numbers outside the enumeration.
  const int status = static_cast<int>(reinterpret_cast<VehiclePropertyGetFunction>(address)(propertyName.c_str()));
  return valueOfStatus(status, propertyName, valueWhenUnknown, getName());
}

void VehiclePropertySharedLibrary::releaseAPI() const {
  if (void* const address = entryPoint("releaseAPI")) {
    reinterpret_cast<VehiclePropertyReleaseFunction>(address)();
  }
}

bool VehiclePropertySharedLibrary::valueOfStatus(int status, const std::string& propertyName, bool valueWhenUnknown,
                                                 const std::string& library) {
  switch (status) {
    case FALSE:
      return false;
    case TRUE:
      return true;
    case UNKNOWN:
      ZEM_ERROR("Status of property " << shown(propertyName) << " is unknown -> assuming "
                                      << (valueWhenUnknown ? "true" : "false"));
      return valueWhenUnknown;
    case NOT_SUPPORTED:
      ZEM_ERROR("Property '" << shown(propertyName) << "' is not supported -> assuming false");
      return false;
    default:
      ZEM_ERROR("Unrecognized vehicle property status returned by library " << shown(library) << " for property "
                                                                            << shown(propertyName));
      return false;
  }
}

const char* VehiclePropertySharedLibrary::statusText(int status) {
  switch (status) {
    case FALSE:
      return "FALSE";
    case TRUE:
      return "TRUE";
    case UNKNOWN:
      return "UNKNOWN";
    case NOT_SUPPORTED:
      return "NOT_SUPPORTED";
    default:
      return "NOT_RECOGNISED";
  }
}
