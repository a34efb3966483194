// The run-time loading of libcurl: one dlopen and one global set-up per library name for the life
// of the process, under one mutex (libcurl's global set-up is not thread-safe).
#include "security/CurlLibrary.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

#include "kest/ApplicationLogger.h"

namespace Security {

namespace {

// Copies the address of `symbol` into `entry`; false when the library lacks it.
template <typename Function>
bool resolveInto(void* handle, const char* symbol, Function* entry) {
  void* const address = ::dlsym(handle, symbol);
  *entry = reinterpret_cast<Function>(address);
  return address != nullptr;
}

// The dynamic loader's last error, or a stand-in when it has none.
std::string loaderError() {
  const char* const text = ::dlerror();
  return text != nullptr ? text : "unknown reason";
}

}  // namespace

void CurlLibrary::HandleClose::operator()(void* handle) const { ::dlclose(handle); }

CurlLibrary::CurlLibrary(Key /*only load()*/, Handle handle) : handle_(std::move(handle)) {}

CurlLibrary::~CurlLibrary() {
  if (globalCleanup_ != nullptr) globalCleanup_();
}

bool CurlLibrary::resolve(const std::string& fileName, std::string* error) {
  void* const h = handle_.get();
  CURLcode (*globalInit)(long) = nullptr;
  const bool complete =
      resolveInto(h, "curl_global_init", &globalInit) && resolveInto(h, "curl_global_cleanup", &globalCleanup_) &&
      resolveInto(h, "curl_easy_init", &easyInit) && resolveInto(h, "curl_easy_cleanup", &easyCleanup) &&
      resolveInto(h, "curl_easy_setopt", &easySetopt) && resolveInto(h, "curl_easy_perform", &easyPerform) &&
      resolveInto(h, "curl_easy_getinfo", &easyGetinfo) && resolveInto(h, "curl_easy_strerror", &easyStrerror) &&
      resolveInto(h, "curl_slist_append", &slistAppend) && resolveInto(h, "curl_slist_free_all", &slistFreeAll);
  if (!complete) {
    globalCleanup_ = nullptr;
    *error = fileName + " is no usable libcurl: " + loaderError();
    return false;
  }
  if (globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    globalCleanup_ = nullptr;
    *error = fileName + " refused its global set-up";
    return false;
  }
  return true;
}

std::shared_ptr<const CurlLibrary> CurlLibrary::load(const std::string& fileName, std::string* error) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const CurlLibrary>> loaded;  // guarded by mutex
  const std::lock_guard<std::mutex> lock(mutex);
  const auto known = loaded.find(fileName);
  if (known != loaded.end()) return known->second;
  Handle handle(::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (handle == nullptr) {
    *error = "libcurl (" + fileName + ") cannot be loaded";
    ZEM_ERROR(*error << ": " << loaderError() << "; no client certificate can be provisioned");
    return nullptr;
  }
  const auto library = std::make_shared<CurlLibrary>(Key{}, std::move(handle));
  if (!library->resolve(fileName, error)) {
    ZEM_ERROR(*error << "; no client certificate can be provisioned");
    return nullptr;
  }
  loaded.emplace(fileName, library);
  return library;
}

}  // namespace Security
