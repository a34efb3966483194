// The process-wide tables of opened shared libraries, and calls of exported C functions through
// libffi. Thread safety: every function may be called from any thread; one mutex guards both
// tables (not the calls into the libraries, which run outside it).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kolconfig/Types.h"
#include "libraries/SharedLibrary.h"
#include "libraries/VehiclePropertySharedLibrary.h"

class SharedLibraries {
 public:
  // Bytes of the output buffer handed to a called function (its documented size).
  static constexpr size_t kOutputBufferBytes = 4096;

  // Calls `function` of `library` (opened on first use and kept in m_libraryHandles) as
  //   int32_t function(const char* value1, ..., const char* valueN, char* output)
  // with one NUL-terminated copy of each argument's value, in list order (keys are not passed),
  // then a zero-filled output buffer of kOutputBufferBytes. Returns the buffer's text up to its
  // first NUL when the function returns 0. A function that fills the whole buffer without a NUL
  // cannot make us read past it: the buffer has one more byte, always 0, that is not part of its
  // documented size, so the result has at most kOutputBufferBytes bytes.
  // Returns "" after an ERROR line when the library is refused (outside the library folders, see
  // SharedLibrary), the library or function cannot be found, the call cannot be prepared, or the
  // function returns non-zero. Never throws for a library's failure.
  static std::string callFunction(const std::string& library, const std::string& function,
                                  const std::vector<std::unique_ptr<Sarnet_Configuration::Types::KeyValue>>& arguments);

  // The vehicle-property library `library` from m_vehiclePropertyLibraryHandles; when first
  // inserted it is opened and its "initialize" is called once. Never null (a library that cannot
  // be opened stays registered, unloaded, and its operations log their errors).
  static std::shared_ptr<VehiclePropertySharedLibrary> vehiclePropertyLibrary(const std::string& library);

  // Empties both tables (the application's shutdown). A vehicle-property library is given up at
  // once (VehicleProperty holds it weakly): "releaseAPI", then closed. A function library is
  // closed once a call still running on another thread has finished.
  // REQUIRES: not called from a library's own callback thread.
  static void clear();

  // The number of libraries in each table (opened or refused), for diagnosis and tests.
  static size_t functionLibraryCount();
  static size_t vehiclePropertyLibraryCount();

 private:
  static std::mutex mutex_;
  // Guarded by mutex_. Ordered maps from the library name to the library; reached only through the
  // functions above.
  static std::map<std::string, std::shared_ptr<SharedLibrary>> m_libraryHandles;
  static std::map<std::string, std::shared_ptr<VehiclePropertySharedLibrary>> m_vehiclePropertyLibraryHandles;
};
