// A plug-in that files in $ZEM_SYSROOT steer: "fail-initialise" makes initialise() throw; else it
// serves "Ping" (1 while initialising, 2 after) and waits for "release-initialise". "hang-shutdown"
// makes shutdown() never return. While "stall-ping" exists, "Ping" does not answer (and so holds
// the D-Bus thread, which runs it); while "stall-dispatch" exists, "Stall" does not answer (and so
// holds a dispatch thread). It builds no self-diagnosis proxy.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "kest/Application.h"
#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"

namespace {

std::atomic<int> gState{0};

bool sysrootHas(const char* name) {
  const char* sysroot = std::getenv("ZEM_SYSROOT");
  return access((std::string(sysroot != nullptr ? sysroot : "") + "/" + name).c_str(), F_OK) == 0;
}

void waitWhileSysrootHas(const char* name) {
  while (sysrootHas(name)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

struct PingServlet : Ipc::IpcMethodServlet {
  using IpcMethodServlet::IpcMethodServlet;
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                         Ipc::IpcMethodCallResponse& response) override {
    waitWhileSysrootHas("stall-ping");
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", gState.load()));
  }
};

struct StallServlet : Ipc::IpcMethodServlet {
  using IpcMethodServlet::IpcMethodServlet;
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                         Ipc::IpcMethodCallResponse&) override {
    waitWhileSysrootHas("stall-dispatch");
  }
};

struct TestApplication : Application {
  void initialise(std::shared_ptr<ZemSettings>, std::shared_ptr<ExtensionServices> services) override {
    if (sysrootHas("fail-initialise")) throw std::runtime_error("initialise refused: test plug-in failure");
    gState = 1;
    const Ipc::ZemMessageDefinition ping("Ping", {});
    services->getIpcService()->registerServlet(ping, std::make_unique<PingServlet>(ping, nullptr));
    const Ipc::ZemMessageDefinition stall("Stall", {});
    services->getIpcService()->registerServlet(stall, std::make_unique<StallServlet>(stall, nullptr));
    while (!sysrootHas("release-initialise")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gState = 2;
  }
  void shutdown() override {
    if (sysrootHas("hang-shutdown")) std::promise<void>().get_future().wait();  // never set
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Application* zemGetApplication() {
  static TestApplication application;
  return &application;
}
extern "C" __attribute__((visibility("default"))) void* zemCreateSelfDiagnosisProxy(
    const std::weak_ptr<ExtensionServices>*) {
  return nullptr;
}
extern "C" __attribute__((visibility("default"))) void zemDestroySelfDiagnosisProxy(void*) {}
