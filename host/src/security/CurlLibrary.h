// libcurl's entry points, loaded with dlopen on the first HTTP exchange rather than linked, so that
// a daemon that never provisions a certificate maps neither libcurl nor the TLS, LDAP, Kerberos
// and SSH libraries it pulls in. Internal to the host library.
// Thread safety: load() may be called from any thread; a CurlLibrary is immutable once loaded.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace Security {

class CurlLibrary {
 public:
  // The library `fileName` (a file name looked up by the dynamic loader, as a link dependency
  // would be; never a name from a caller), opened and globally initialised on the first call for
  // that name and kept for the life of the process; later calls return the same object. Returns
  // null with a one-line reason in `error` (and an ERROR with the loader's reason) when the library
  // cannot be loaded, lacks an entry point or refuses its global set-up; a later call tries again
  // (a library installed meanwhile is used).
  // REQUIRES: error != nullptr.
  static std::shared_ptr<const CurlLibrary> load(const std::string& fileName, std::string* error);

 private:
  struct Key {};  // only load() makes a CurlLibrary
  struct HandleClose {
    void operator()(void* handle) const;
  };
  using Handle = std::unique_ptr<void, HandleClose>;

 public:
  CurlLibrary(Key, Handle handle);
  ~CurlLibrary();
  CurlLibrary(const CurlLibrary&) = delete;
  CurlLibrary& operator=(const CurlLibrary&) = delete;

  // libcurl's own functions, resolved once; never null in a loaded library. Variadic setters take
  // exactly the argument types libcurl documents (long, char*, a function or a data pointer).
  CURL* (*easyInit)() = nullptr;
  void (*easyCleanup)(CURL*) = nullptr;
  CURLcode (*easySetopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easyPerform)(CURL*) = nullptr;
  CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
  const char* (*easyStrerror)(CURLcode) = nullptr;
  curl_slist* (*slistAppend)(curl_slist*, const char*) = nullptr;
  void (*slistFreeAll)(curl_slist*) = nullptr;

 private:
  // Resolves every entry point and runs the global set-up. Returns false with the reason otherwise.
  bool resolve(const std::string& fileName, std::string* error);

  Handle handle_;
  void (*globalCleanup_)() = nullptr;  // set once the global set-up succeeded
};

}  // namespace Security
