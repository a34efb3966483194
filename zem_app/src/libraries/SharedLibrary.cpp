#include "libraries/SharedLibrary.h"

#include <dlfcn.h>

#include <utility>

#include "kest/ApplicationLogger.h"
#include "libraries/LibraryLoaderSeam.h"

void SharedLibrary::Closer::operator()(void* handle) const {
  if (LibraryLoaderSeam::current().close(handle) != 0) ZEM_ERROR("Impossible to close library");
}

SharedLibrary::SharedLibrary(std::string name)
    : name_(std::move(name)), handle_(LibraryLoaderSeam::current().open(name_.c_str(), RTLD_LAZY)) {
  if (!handle_) ZEM_ERROR("Impossible to load library " << ApplicationLogger::shortened(name_, 512));
}

SharedLibrary::~SharedLibrary() = default;

void* SharedLibrary::symbol(const std::string& symbolName) const {
  if (!handle_) return nullptr;
  return LibraryLoaderSeam::current().symbol(handle_.get(), symbolName.c_str());
}
