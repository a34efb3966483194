// Servlets and helpers shared by the IPC tests.
#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "kest/ipc/IpcServlet.h"
#include "kest/ipc/IpcTypes.h"

namespace ipctest {

using Handler = std::function<void(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                                   Ipc::IpcMethodCallResponse&)>;

// A servlet whose behaviour is a lambda.
class LambdaServlet : public Ipc::IpcMethodServlet {
 public:
  LambdaServlet(const Ipc::IpcMessageDefinition& definition, Handler handler)
      : IpcMethodServlet(definition, nullptr), handler_(std::move(handler)) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    handler_(definition, request, response);
  }

 private:
  Handler handler_;
};

inline Ipc::ZemMessageDefinition zemMessage(const std::string& name) { return Ipc::ZemMessageDefinition(name, {}); }
inline Ipc::ZemSelfDiagMessageDefinition selfDiagMessage(const std::string& name) {
  return Ipc::ZemSelfDiagMessageDefinition(name, {});
}
template <typename... Parameters>
Ipc::IpcParameterSet with(Parameters... parameters) {
  Ipc::IpcParameterSet set;
  (set.add(std::move(parameters)), ...);
  return set;
}
inline std::unique_ptr<Ipc::IpcParameter> str(const std::string& name, const std::string& value) {
  return std::make_unique<Ipc::IpcStringParameter>(name, value);
}
inline std::unique_ptr<Ipc::IpcParameter> integer(const std::string& name, int64_t value) {
  return std::make_unique<Ipc::IpcIntegerParameter>(name, value);
}

// The text of the IpcException that `action` throws, or "<no IpcException>".
inline std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Ipc::IpcException& e) {
    return e.what();
  }
  return "<no IpcException>";
}

// A component name no other test process uses at the same time.
inline std::string uniqueComponent(const std::string& base) {
  static std::atomic<int> counter{0};
  return base + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

}  // namespace ipctest
