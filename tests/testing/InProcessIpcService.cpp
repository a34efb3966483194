#include "kest/ipc/InProcessIpcService.h"

#include <algorithm>
#include <exception>

#include "ipc/DBusNames.h"
#include "ipc/ServletRegistry.h"
#include "kest/ApplicationLogger.h"

namespace Ipc {

namespace {

// The interface a test names by kind or by its full name.
std::string interfaceOf(const std::string& interfaceOrKind) {
  if (interfaceOrKind == "Zem" || interfaceOrKind == "com.olvane.Zem") return "com.olvane.Zem";
  if (interfaceOrKind == "SelfDiag" || interfaceOrKind == "ZemSelfDiag" || interfaceOrKind == "com.olvane.SelfDiag")
    return "com.olvane.SelfDiag";
  throw IpcException("Unknown IPC interface: " + interfaceOrKind);
}

// The same refusal a bus gives: only string, integer and byte-field parameters travel.
void checkSendable(const IpcParameterSet& parameters) {
  for (const auto& entry : parameters.all())
    if (entry.second->getType() == IpcParameterType::Unsupported)
      throw IpcException("Parameter cannot be sent: " + entry.first);
}

}  // namespace

InProcessIpcService::InProcessIpcService() : registry_(std::make_unique<detail::ServletRegistry>()) {}

InProcessIpcService::~InProcessIpcService() {
  if (IpcService::getInstance() == this) IpcService::setInstance(nullptr);
}

IpcParameterSet InProcessIpcService::call(const std::string& interfaceOrKind, const std::string& name,
                                          const IpcParameterSet& in, const std::string& sender) {
  const std::string key = interfaceOf(interfaceOrKind) + "." + name;
  const detail::ServletRegistry::Entry entry = registry_->find(key);
  if (entry.servlet == nullptr) throw IpcException("No servlet serves " + key);
  try {
    return detail::runServlet(entry, in, sender);
  } catch (const std::exception& e) {
    ZEM_ERROR("The IPC servlet of " << entry.definition->toString() << " failed");
    ZEM_ERROR(e.what());
    throw IpcException(e.what());
  } catch (...) {
    ZEM_ERROR("The IPC servlet of " << entry.definition->toString() << " failed with an unknown exception");
    throw IpcException("unknown exception in the servlet of " + key);
  }
}

bool InProcessIpcService::serves(const std::string& interfaceOrKind, const std::string& name) const {
  return registry_->serves(interfaceOf(interfaceOrKind) + "." + name);
}

std::vector<InProcessIpcService::RecordedSignal> InProcessIpcService::signals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signals_;
}

bool InProcessIpcService::waitForSignal(const std::string& name, std::chrono::milliseconds timeout,
                                        std::size_t count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return signalled_.wait_for(lock, timeout, [&] {
    const auto seen = std::count_if(signals_.begin(), signals_.end(),
                                    [&](const RecordedSignal& signal) { return signal.name == name; });
    return static_cast<std::size_t>(seen) >= count;
  });
}

void InProcessIpcService::clearSignals() {
  std::lock_guard<std::mutex> lock(mutex_);
  signals_.clear();
}

void InProcessIpcService::setPeer(const std::string& component, PeerHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handler)
    peers_[component] = std::move(handler);
  else
    peers_.erase(component);
}

std::vector<InProcessIpcService::RecordedCall> InProcessIpcService::peerCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peerCalls_;
}

void InProcessIpcService::notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message) {
  registry_->notifyListeners(definition, message);
}

void InProcessIpcService::registerServlet(const IpcMessageDefinition& definition,
                                          std::unique_ptr<IpcMethodServlet> servlet) {
  if (servlet == nullptr) throw IpcException("Cannot serve " + definition.toString() + " with no servlet");
  detail::checkMemberName(definition.getName());
  registry_->registerServlet(definition, std::move(servlet));
}

void InProcessIpcService::addListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  registry_->addListener(definition, listener);
}

void InProcessIpcService::removeListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  registry_->removeListener(definition, listener);
}

void InProcessIpcService::sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) {
  detail::checkMemberName(definition.getName());
  checkSendable(parameters);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signals_.push_back(RecordedSignal{definition.getName(), parameters});
  }
  signalled_.notify_all();
}

IpcParameterSet InProcessIpcService::callMethod(const std::string& component, const std::string& interfaceName,
                                                const IpcMessageDefinition& definition,
                                                const IpcParameterSet& parameters, std::chrono::milliseconds) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  const std::string interface = detail::resolveInterface(interfaceName, definition.getInterface());
  detail::checkMemberName(definition.getName());
  checkSendable(parameters);
  PeerHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    peerCalls_.push_back(RecordedCall{component, interface, definition.getName(), parameters});
    const auto it = peers_.find(component);
    if (it != peers_.end()) handler = it->second;
  }
  if (!handler) throw IpcException("service " + destination.busName + " is not running");
  return handler(definition, parameters);
}

}  // namespace Ipc
