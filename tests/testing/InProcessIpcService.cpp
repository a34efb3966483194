#include "kest/ipc/InProcessIpcService.h"

#include <exception>

#include "ipc/DBusConversion.h"
#include "ipc/DBusNames.h"
#include "ipc/ServletRegistry.h"
#include "kest/ApplicationLogger.h"

namespace Ipc {

namespace {

std::string interfaceOf(const std::string& kind) {
  if (kind != "Zem" && kind != "SelfDiag") throw IpcException("Unknown IPC interface: " + kind);
  return "com.olvane." + kind;
}

}  // namespace

InProcessIpcService::InProcessIpcService() : registry_(std::make_unique<detail::ServletRegistry>()) {}

InProcessIpcService::~InProcessIpcService() {
  if (IpcService::getInstance() == this) IpcService::setInstance(nullptr);
}

IpcParameterSet InProcessIpcService::call(const std::string& kind, const std::string& name, const IpcParameterSet& in,
                                          const std::string& sender) {
  return call(kind, name, in, IpcCaller::named(sender));
}

IpcParameterSet InProcessIpcService::call(const std::string& kind, const std::string& name, const IpcParameterSet& in,
                                          const IpcCaller& caller) {
  const std::string key = interfaceOf(kind) + "." + name;
  const detail::ServletRegistry::Entry entry = registry_->find(key);
  if (entry.servlet == nullptr) throw IpcException("No servlet serves " + key);
  try {
    return detail::runServlet(entry, in, caller);
  } catch (const std::exception& e) {
    ZEM_ERROR("The IPC servlet of " << entry.definition->toString() << " failed");
    ZEM_ERROR(e.what());
    throw IpcException(e.what());
  }
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

void InProcessIpcService::addClientListener(IpcClientListener* listener) { registry_->addClientListener(listener); }

void InProcessIpcService::removeClientListener(IpcClientListener* listener) {
  registry_->removeClientListener(listener);
}

void InProcessIpcService::clientLeft(const std::string& connection) { registry_->notifyClientLeft(connection); }

void InProcessIpcService::sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) {
  detail::checkMemberName(definition.getName());
  detail::checkSendable(parameters);  // the same refusal a bus gives
  std::map<std::string, std::string> texts;
  for (const auto& entry : parameters.all()) {
    const auto* s = dynamic_cast<const IpcStringParameter*>(entry.second.get());
    const auto* b = dynamic_cast<const IpcByteFieldParameter*>(entry.second.get());
    texts[entry.first] = s != nullptr ? s->getValue() : b != nullptr ? b->getValueAsString() : "?";
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  sent_.emplace_back(definition.getName(), std::move(texts));
}

std::vector<std::map<std::string, std::string>> InProcessIpcService::sent(const std::string& name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::map<std::string, std::string>> matching;
  for (const auto& signal : sent_)
    if (signal.first == name) matching.push_back(signal.second);
  return matching;
}

void InProcessIpcService::addPeer(const std::string& component, const std::string& method, Peer peer) {
  const std::lock_guard<std::mutex> lock(mutex_);
  peers_[component + "/" + method] = std::move(peer);
}

IpcParameterSet InProcessIpcService::callMethod(const std::string& component, const std::string& interfaceName,
                                                const IpcMessageDefinition& definition,
                                                const IpcParameterSet& parameters, std::chrono::milliseconds) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  detail::resolveInterface(interfaceName, definition.getInterface());
  detail::checkMemberName(definition.getName());
  detail::checkSendable(parameters);  // the same refusal a bus gives
  std::unique_lock<std::mutex> lock(mutex_);
  const auto found = peers_.find(component + "/" + definition.getName());
  if (found != peers_.end()) {
    const Peer peer = found->second;
    lock.unlock();
    return peer(interfaceName, parameters);
  }
  throw IpcException("service " + destination.busName + " is not running");
}

}  // namespace Ipc
