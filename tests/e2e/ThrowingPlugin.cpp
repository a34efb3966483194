// A minimal plug-in for the host's start-up failure path: it exports the entry points of the host
// contract, and its initialise() throws, as an application whose start-up step fails would.
#include <memory>
#include <stdexcept>

#include "kest/Application.h"

namespace {

class ThrowingApplication : public Application {
 public:
  void initialise(std::shared_ptr<ZemSettings>, std::shared_ptr<ExtensionServices>) override {
    throw std::runtime_error("initialise refused: test plug-in failure");
  }
  void shutdown() override {}
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) Application* zemGetApplication() {
  static ThrowingApplication application;
  return &application;
}

__attribute__((visibility("default"))) void* zemCreateSelfDiagnosisProxy(const std::weak_ptr<ExtensionServices>*) {
  return nullptr;
}

__attribute__((visibility("default"))) void zemDestroySelfDiagnosisProxy(void*) {}

}  // extern "C"
