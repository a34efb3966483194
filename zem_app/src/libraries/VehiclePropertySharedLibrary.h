// A vehicle-property library: a SharedLibrary whose five C entry points (zem/VehiclePropertyLibrary.h)
// are resolved by name at each call. Thread safety: every operation may be called from any
// thread; the library itself must cope with concurrent calls.
#pragma once

#include <string>

#include "libraries/SharedLibrary.h"
#include "zem/VehiclePropertyLibrary.h"

class VehiclePropertySharedLibrary : public SharedLibrary {
 public:
  // Opens `name` as SharedLibrary does; does not call "initialize".
  explicit VehiclePropertySharedLibrary(std::string name);
  // Calls "releaseAPI", then closes the library.
  ~VehiclePropertySharedLibrary() override;

  // Each operation below calls the entry point of the same name. When the library does not
  // export it (or is not loaded) it logs ERROR "Impossible to find function " + symbol +
  // " in library " + name and does nothing.
  void initialize() const;
  // Registers `callback` with `context`; the library keeps both until removal.
  void addVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback, void* context) const;
  // Removes one registration of `callback` (which one is the library's choice).
  void removeVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback) const;
  // The boolean value of the property `propertyName`: FALSE -> false, TRUE -> true, UNKNOWN ->
  // `valueWhenUnknown` (ERROR "Status of property ... is unknown -> assuming ..."), NOT_SUPPORTED ->
  // false (ERROR), any other status -> false (ERROR "Unrecognized vehicle property status ...").
  // false when the entry point is missing.
  bool getVehicleProperty(const std::string& propertyName, bool valueWhenUnknown) const;
  void releaseAPI() const;

  // The value a status stands for, with the log lines of getVehicleProperty; `library` names the
  // library in the line of an unrecognised status. Shared with the change callback's handling.
  static bool valueOfStatus(int status, const std::string& propertyName, bool valueWhenUnknown,
                            const std::string& library);
  // "FALSE", "TRUE", "UNKNOWN", "NOT_SUPPORTED" or "NOT_RECOGNISED".
  static const char* statusText(int status);

 private:
  // The entry point `symbolName`, or null after logging its ERROR line.
  void* entryPoint(const char* symbolName) const;
};
