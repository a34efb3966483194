// A plug-in whose initialise() registers "Ping" first and then waits until the test opens a gate
// (the file "$ZEM_SYSROOT/release-initialise"), so a test can call the daemon while initialise
// runs. Ping answers 1 while waiting and 2 afterwards, as the real application's does. When the file
// "$ZEM_SYSROOT/hang-shutdown" exists, shutdown() never returns (for the host's watchdog).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "kest/Application.h"
#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"

namespace {

std::atomic<int> gState{0};

class GatedPingServlet : public Ipc::IpcMethodServlet {
 public:
  explicit GatedPingServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                         Ipc::IpcMethodCallResponse& response) override {
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", gState.load()));
  }
};

class GatedApplication : public Application {
 public:
  void initialise(std::shared_ptr<ZemSettings>, std::shared_ptr<ExtensionServices> services) override {
    gState = 1;
    const Ipc::ZemMessageDefinition ping("Ping",
                                         {{"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}});
    services->getIpcService()->registerServlet(ping, std::make_unique<GatedPingServlet>(ping));
    const char* sysroot = std::getenv("ZEM_SYSROOT");
    const std::string gate = std::string(sysroot != nullptr ? sysroot : "") + "/release-initialise";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (access(gate.c_str(), F_OK) != 0) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the gate never opened");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    gState = 2;
  }
  void shutdown() override {
    gState = 0;
    const char* sysroot = std::getenv("ZEM_SYSROOT");
    if (access((std::string(sysroot != nullptr ? sysroot : "") + "/hang-shutdown").c_str(), F_OK) == 0) {
      std::promise<void>().get_future().wait();  // never set
    }
  }
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) Application* zemGetApplication() {
  static GatedApplication application;
  return &application;
}

// No self-diagnosis: the host copes with a plug-in that builds no proxy.
__attribute__((visibility("default"))) void* zemCreateSelfDiagnosisProxy(const std::weak_ptr<ExtensionServices>*) {
  return nullptr;
}

__attribute__((visibility("default"))) void zemDestroySelfDiagnosisProxy(void*) {}

}  // extern "C"
