#include "libraries/SharedLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <utility>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/TrustBoundaries.h"
#include "libraries/LibraryLoaderSeam.h"

namespace {

// Library names come from provisioning configurations a job may install: bounded in log lines.
constexpr size_t kMaxLoggedName = 512;

}  // namespace

void SharedLibrary::Closer::operator()(void* handle) const {
  if (LibraryLoaderSeam::current().close(handle) != 0) ZEM_ERROR("Impossible to close library");
}

std::optional<std::string> SharedLibrary::trustedPath(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes || name.find('\0') != std::string::npos) return std::nullopt;
  const std::vector<std::string> folders = TrustBoundaries::libraryFolders();
  if (name.front() == '/') return TrustBoundaries::containedRealPath(name, folders);
  for (const std::string& folder : folders) {
    std::string candidate = folder;
    candidate.append("/").append(name);
    std::optional<std::string> found = TrustBoundaries::containedRealPath(candidate, folders);
    if (found) return found;
  }
  return std::nullopt;
}

void* SharedLibrary::open(const std::string& name) {
  const std::optional<std::string> path = trustedPath(name);
  if (!path) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Library refused, not in a library folder: " << ApplicationLogger::shortened(name, kMaxLoggedName));
    return nullptr;
  }
  void* const handle = LibraryLoaderSeam::current().open(path->c_str(), RTLD_LAZY);
  if (handle == nullptr) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                    "Impossible to load library " << ApplicationLogger::shortened(name, kMaxLoggedName));
  }
  return handle;
}

SharedLibrary::SharedLibrary(std::string name) : name_(std::move(name)), handle_(open(name_)) {}

SharedLibrary::~SharedLibrary() = default;

void* SharedLibrary::symbol(const std::string& symbolName) const {
  if (!handle_) return nullptr;
  void* const address = LibraryLoaderSeam::current().symbol(handle_.get(), symbolName.c_str());
  if (address == nullptr) return nullptr;
  // dlsym also searches the library's dependencies: without this check a configuration could
  // name a trusted library and "system", and reach the C library through it.
  link_map* own = nullptr;
  link_map* owner = nullptr;
  Dl_info info{};
  if (::dlinfo(handle_.get(), RTLD_DI_LINKMAP, &own) != 0 ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 || owner != own) {
    return nullptr;
  }
  return address;
}
