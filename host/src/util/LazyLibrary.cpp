// The run-time loading of a library: one dlopen, and every symbol resolved, under one mutex; the
// addresses are published with a release store that entries() pairs with an acquire load.
#include "util/LazyLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

#include "kest/ApplicationLogger.h"

void LazyLibrary::HandleClose::operator()(void* handle) const { ::dlclose(handle); }

void* const* LazyLibrary::load() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (loaded_.load(std::memory_order_relaxed)) return addresses_;
  const std::string library = std::string(name_) + " (" + fileName_ + ")";
  // The library stays mapped after a failed attempt's dlclose and at exit: a function pointer
  // copied out of it (the test seams copy them) stays valid.
  std::unique_ptr<void, HandleClose> handle(::dlopen(fileName_, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  const char* missing = nullptr;
  for (size_t i = 0; handle != nullptr && missing == nullptr && i < count_; ++i) {
    addresses_[i] = ::dlsym(handle.get(), symbols_[i]);
    if (addresses_[i] == nullptr) missing = symbols_[i];
  }
  if (handle == nullptr || missing != nullptr) {
    const char* const reason = ::dlerror();
    const std::string refusal = library + (handle == nullptr ? " cannot be loaded" : " lacks " + std::string(missing));
    ZEM_ERROR(refusal << ": " << (reason != nullptr ? reason : "unknown reason"));
    refuse_(refusal);
    throw std::runtime_error(refusal);  // only if `refuse_` failed to throw: never go on unresolved
  }
  handle_ = std::move(handle);
  loaded_.store(true, std::memory_order_release);
  return addresses_;
}

const char* LazyLibrary::replaceFileName(const char* fileName) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const char* const previous = fileName_;
  fileName_ = fileName;
  loaded_.store(false, std::memory_order_release);
  handle_.reset();
  return previous;
}
