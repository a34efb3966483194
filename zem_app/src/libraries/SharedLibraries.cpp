#include "libraries/SharedLibraries.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "libraries/LibraryLoaderSeam.h"

namespace Types = Sarnet_Configuration::Types;

std::map<std::string, std::shared_ptr<SharedLibrary>> SharedLibraries::m_libraryHandles;
std::map<std::string, std::shared_ptr<VehiclePropertySharedLibrary>> SharedLibraries::m_vehiclePropertyLibraryHandles;
std::mutex SharedLibraries::mutex_;

namespace {

// Library and function names come from the configuration: bounded in log lines.
constexpr size_t kMaxLoggedName = 256;

std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedName); }

}  // namespace

std::string SharedLibraries::callFunction(const std::string& library, const std::string& function,
                                          const std::vector<std::unique_ptr<Types::KeyValue>>& arguments) {
  std::shared_ptr<SharedLibrary> handle;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = m_libraryHandles[library];
    if (!slot) slot = std::make_shared<SharedLibrary>(library);
    handle = slot;
  }
  void* const address = handle->symbol(function);
  if (address == nullptr) {
    ZEM_ERROR("Cannot find the function " << shown(function) << " in library " << shown(library));
    return "";
  }

  // Every argument is a fresh NUL-terminated copy the function may even write to; the output
  // buffer has one guard byte beyond its documented size that stays 0.
  std::vector<std::vector<char>> copies;
  copies.reserve(arguments.size());
  for (const auto& argument : arguments) {
    const std::string& value = argument ? argument->get_value() : std::string();
    std::vector<char> copy(value.size() + 1, '\0');
    std::memcpy(copy.data(), value.data(), value.size());
    copies.push_back(std::move(copy));
  }
  std::vector<char> output(kOutputBufferBytes + 1, '\0');

  std::vector<char*> pointers;
  pointers.reserve(copies.size() + 1);
  for (auto& copy : copies) pointers.push_back(copy.data());
  pointers.push_back(output.data());
  // libffi takes the address of each argument value, here the address of each pointer.
  std::vector<void*> values;
  std::vector<ffi_type*> types(pointers.size(), &ffi_type_pointer);
  values.reserve(pointers.size());
  for (auto& pointer : pointers) values.push_back(&pointer);

  const LibraryLoaderSeam& seam = LibraryLoaderSeam::current();
  ffi_cif cif{};
  if (seam.prepareCall(&cif, FFI_DEFAULT_ABI, static_cast<unsigned int>(types.size()), &ffi_type_sint32,
                       types.data()) != FFI_OK) {
    ZEM_ERROR("Impossible to call the function " << shown(function) << " from library " << shown(library));
    return "";
  }
  // libffi widens integral results smaller than a register to ffi_arg.
  ffi_arg returned = 0;
  seam.call(&cif, reinterpret_cast<void (*)()>(address), &returned, values.data());
  const auto status = static_cast<int32_t>(returned);
  if (status != 0) {
    char number[32];
    std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(status));
    ZEM_ERROR("Error during to call the function " << shown(function) << " from library " << shown(library)
                                                   << " (ret = " << number);
    return "";
  }
  output[kOutputBufferBytes] = '\0';  // the guard byte, should the function have written past the size
  std::string result(output.data(), ::strnlen(output.data(), kOutputBufferBytes));
  ZEM_DEBUG("Read value in function " << shown(function) << " = " << result);
  return result;
}

std::shared_ptr<VehiclePropertySharedLibrary> SharedLibraries::vehiclePropertyLibrary(const std::string& library) {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = m_vehiclePropertyLibraryHandles[library];
  if (!slot) {
    slot = std::make_shared<VehiclePropertySharedLibrary>(library);
    slot->initialize();
  }
  return slot;
}

void SharedLibraries::clear() {
  std::map<std::string, std::shared_ptr<SharedLibrary>> libraries;
  std::map<std::string, std::shared_ptr<VehiclePropertySharedLibrary>> vehicleLibraries;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    libraries.swap(m_libraryHandles);
    vehicleLibraries.swap(m_vehiclePropertyLibraryHandles);
  }
  // Released outside the lock: releaseAPI may wait for the library's thread, whose callbacks must
  // not be blocked behind us.
  vehicleLibraries.clear();
  libraries.clear();
}

size_t SharedLibraries::functionLibraryCount() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return m_libraryHandles.size();
}

size_t SharedLibraries::vehiclePropertyLibraryCount() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return m_vehiclePropertyLibraryHandles.size();
}
