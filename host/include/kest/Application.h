// The contract between the host and an application plug-in loaded with dlopen.
// The plug-in exports, with C linkage, the entry points named below; the host resolves them with
// dlsym and never includes plug-in headers.
// Thread safety: the host calls initialise() and shutdown() from its main thread, once each.
#pragma once

#include <memory>

class ExtensionServices;
class ZemSettings;

class Application {
 public:
  virtual ~Application() = default;
  // Starts the application. Throws whatever a start-up step throws; the host logs it and exits.
  virtual void initialise(std::shared_ptr<ZemSettings> settings, std::shared_ptr<ExtensionServices> services) = 0;
  // Stops the application; it stays alive until the library is unloaded.
  virtual void shutdown() = 0;
};

// Entry points of a plug-in (C linkage, resolved with dlsym).
extern "C" {
// Returns the plug-in's single application object (owned by the plug-in). Never null.
using GetApplicationFn = Application* (*)();
// Builds the plug-in's self-diagnosis proxy, which registers its servlets with the services' IPC
// service. Returns an opaque object owned by the caller, released with the destroy entry point;
// null when it could not be built.
using CreateSelfDiagnosisProxyFn = void* (*)(const std::weak_ptr<ExtensionServices>* services);
using DestroySelfDiagnosisProxyFn = void (*)(void* proxy);
}
inline constexpr const char* kGetApplicationSymbol = "zemGetApplication";
inline constexpr const char* kCreateSelfDiagnosisProxySymbol = "zemCreateSelfDiagnosisProxy";
inline constexpr const char* kDestroySelfDiagnosisProxySymbol = "zemDestroySelfDiagnosisProxy";
