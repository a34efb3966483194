#include "PluginLibrary.h"

#include <dlfcn.h>

namespace {

// The loader's last error, cleared by reading it.
std::string takeLoaderError() {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string("unknown loader error");
}

}  // namespace

void PluginLibrary::Closer::operator()(void* handle) const {
  if (handle != nullptr) dlclose(handle);
}

std::unique_ptr<PluginLibrary> PluginLibrary::open(const std::string& path, std::string* error) {
  dlerror();  // forget any error left by earlier calls
  Handle handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (handle == nullptr) {
    *error = "cannot load plug-in " + path + ": " + takeLoaderError();
    return nullptr;
  }
  auto library = std::make_unique<PluginLibrary>(Key(), path, std::move(handle));
  void* get = library->resolve(kGetApplicationSymbol, error);
  if (get == nullptr) return nullptr;
  void* create = library->resolve(kCreateSelfDiagnosisProxySymbol, error);
  if (create == nullptr) return nullptr;
  void* destroy = library->resolve(kDestroySelfDiagnosisProxySymbol, error);
  if (destroy == nullptr) return nullptr;
  library->getApplication_ = reinterpret_cast<GetApplicationFn>(get);
  library->createSelfDiagnosisProxy_ = reinterpret_cast<CreateSelfDiagnosisProxyFn>(create);
  library->destroySelfDiagnosisProxy_ = reinterpret_cast<DestroySelfDiagnosisProxyFn>(destroy);
  library->createJobAppearedServlet_ =
      reinterpret_cast<CreateJobAppearedServletFn>(dlsym(library->handle_.get(), kCreateJobAppearedServletSymbol));
  dlerror();  // the optional entry point may be absent
  return library;
}

void* PluginLibrary::resolve(const char* name, std::string* error) const {
  dlerror();
  void* address = dlsym(handle_.get(), name);
  if (address == nullptr) {
    *error = "plug-in " + path_ + " does not export " + name + ": " + takeLoaderError();
  }
  return address;
}
