// The contract between the host and an application plug-in loaded with dlopen.
// The plug-in exports, with C linkage, the entry points named below; the host resolves them with
// dlsym and never includes plug-in headers.
// Thread safety: the host calls initialise() and shutdown() from its main thread, once each.
#pragma once

#include <memory>

#include "kest/Export.h"

class ExtensionServices;
class ZemSettings;
namespace Ipc {
class IpcMethodServlet;
}

class KEST_EXPORT Application {
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
// Optional. Builds the plug-in's servlet for the job announcement ("JobAppeared") with `services`
// (not owned, may be null). Returns a servlet owned by the caller, which registers it with its IPC
// service under the servlet's own definition (IpcMethodServlet::getDefinition) before calling
// initialise(), so that the application's listeners reach it; null when it could not be built.
// The servlet's code lives in the plug-in: it must be destroyed before the library is unloaded.
using CreateJobAppearedServletFn = Ipc::IpcMethodServlet* (*)(ExtensionServices* services);
}
inline constexpr const char* kGetApplicationSymbol = "zemGetApplication";
inline constexpr const char* kCreateSelfDiagnosisProxySymbol = "zemCreateSelfDiagnosisProxy";
inline constexpr const char* kDestroySelfDiagnosisProxySymbol = "zemDestroySelfDiagnosisProxy";
inline constexpr const char* kCreateJobAppearedServletSymbol = "zemCreateJobAppearedServlet";
