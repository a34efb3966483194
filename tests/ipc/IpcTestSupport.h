// Servlets and helpers shared by the IPC tests.
#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// Announces a job the way the application's "JobAppeared" servlet does: reads the string
// "jobLocation", tells the listeners, answers status 1; a request it cannot read answers status 0.
class JobAppearedServlet : public Ipc::IpcMethodServlet {
 public:
  explicit JobAppearedServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    int64_t status = 1;
    try {
      const IpcMessage message(std::make_unique<IpcStringMessageContent>(
          request.getParameter<Ipc::IpcStringParameter>("jobLocation").getValue()));
      for (IpcListener* listener : listenersFor(definition.getKey())) listener->ipcMessageReceived(definition, message);
    } catch (const Ipc::IpcException& e) {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.push_back(e.what());
      status = 0;
    }
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", status));
  }
  std::vector<std::string> errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> errors_;
};

// Remembers every message it receives as "name:text".
class RecordingListener : public IpcListener {
 public:
  std::string ipcMessageReceived(const Ipc::IpcMessageDefinition& definition, const IpcMessage& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto* text = dynamic_cast<const IpcStringMessageContent*>(&message.getContent());
    received_.push_back(definition.getName() + ":" + (text != nullptr ? text->getString() : std::string("?")));
    return std::string();
  }
  std::vector<std::string> received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
};

inline Ipc::ZemMessageDefinition zemMessage(const std::string& name) { return Ipc::ZemMessageDefinition(name, {}); }
inline Ipc::ZemSelfDiagMessageDefinition selfDiagMessage(const std::string& name) {
  return Ipc::ZemSelfDiagMessageDefinition(name, {});
}
inline Ipc::IpcParameterSet params() { return Ipc::IpcParameterSet(); }
inline Ipc::IpcParameterSet with(Ipc::IpcParameterSet set, std::unique_ptr<Ipc::IpcParameter> parameter) {
  set.add(std::move(parameter));
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
