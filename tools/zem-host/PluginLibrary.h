// A loaded application plug-in: its dlopen handle and the entry points of the host contract
// (kest/Application.h). The library stays loaded as long as this object lives.
// Thread safety: immutable after open(); the entry points may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include "kest/Application.h"

class PluginLibrary {
  struct Closer {
    void operator()(void* handle) const;
  };
  using Handle = std::unique_ptr<void, Closer>;
  struct Key {  // lets only open() build a library
    explicit Key() = default;
  };

 public:
  // Loads `path` with RTLD_NOW and resolves the three required entry points and the optional
  // job-announcement servlet entry point. Returns the library on success. Returns nullptr with a
  // one-line reason in `error` when the file cannot be loaded (the loader's message) or lacks a
  // required entry point; the handle is closed again in that case.
  static std::unique_ptr<PluginLibrary> open(const std::string& path, std::string* error);

  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  ~PluginLibrary() = default;  // dlclose through the handle's deleter

  const std::string& getPath() const { return path_; }
  GetApplicationFn getApplication() const { return getApplication_; }
  CreateSelfDiagnosisProxyFn createSelfDiagnosisProxy() const { return createSelfDiagnosisProxy_; }
  DestroySelfDiagnosisProxyFn destroySelfDiagnosisProxy() const { return destroySelfDiagnosisProxy_; }
  // Null when the plug-in does not export it.
  CreateJobAppearedServletFn createJobAppearedServlet() const { return createJobAppearedServlet_; }

  PluginLibrary(Key, std::string path, Handle handle) : path_(std::move(path)), handle_(std::move(handle)) {}

 private:
  // Returns the address of `name`, or nullptr with the loader's reason in `error`.
  void* resolve(const char* name, std::string* error) const;

  std::string path_;
  Handle handle_;
  GetApplicationFn getApplication_ = nullptr;
  CreateSelfDiagnosisProxyFn createSelfDiagnosisProxy_ = nullptr;
  DestroySelfDiagnosisProxyFn destroySelfDiagnosisProxy_ = nullptr;
  CreateJobAppearedServletFn createJobAppearedServlet_ = nullptr;
};
