#include "ipc/ServletRegistry.h"

#include <algorithm>
#include <exception>

#include "kest/ApplicationLogger.h"

namespace Ipc {
namespace detail {

bool ServletRegistry::registerServlet(const IpcMessageDefinition& definition,
                                      std::unique_ptr<IpcMethodServlet> servlet) {
  const std::string key = definition.getKey();
  Entry entry{std::make_shared<const IpcMessageDefinition>(definition),
              std::shared_ptr<IpcMethodServlet>(std::move(servlet))};
  Entry previous;
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (IpcListener* listener : listeners_[key]) entry.servlet->addListener(definition, listener);
    auto it = servlets_.find(key);
    added = it == servlets_.end();
    if (added) {
      servlets_.emplace(key, std::move(entry));
    } else {
      previous = std::move(it->second);
      it->second = std::move(entry);
    }
  }
  // The replaced servlet goes when its last running call ends, outside the lock.
  previous = Entry();
  return added;
}

void ServletRegistry::unregister(const std::string& key) {
  Entry removed;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = servlets_.find(key);
  if (it == servlets_.end()) return;
  removed = std::move(it->second);
  servlets_.erase(it);
}

ServletRegistry::Entry ServletRegistry::find(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = servlets_.find(key);
  return it == servlets_.end() ? Entry() : it->second;
}

bool ServletRegistry::serves(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servlets_.count(key) != 0;
}

void ServletRegistry::addListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  if (listener == nullptr) return;
  const std::string key = definition.getKey();
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_[key].push_back(listener);
  const auto it = servlets_.find(key);
  if (it != servlets_.end()) it->second.servlet->addListener(definition, listener);
}

void ServletRegistry::removeListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  const std::string key = definition.getKey();
  std::lock_guard<std::mutex> lock(mutex_);
  auto& list = listeners_[key];
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
  const auto it = servlets_.find(key);
  if (it != servlets_.end()) it->second.servlet->removeListener(definition, listener);
}

void ServletRegistry::notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message) {
  const std::string key = definition.getKey();
  std::vector<IpcListener*> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (servlets_.count(key) != 0) return;
    const auto it = listeners_.find(key);
    if (it != listeners_.end()) targets = it->second;
  }
  for (IpcListener* listener : targets) {
    try {
      listener->ipcMessageReceived(definition, message);
    } catch (const std::exception& e) {
      ZEM_ERROR("IPC listener of " << definition.toString() << " failed");
      ZEM_ERROR(e.what());
    } catch (...) {
      ZEM_ERROR("IPC listener of " << definition.toString() << " failed with an unknown exception");
    }
  }
}

void ServletRegistry::addClientListener(IpcClientListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(clientsMutex_);
  if (std::find(clientListeners_.begin(), clientListeners_.end(), listener) == clientListeners_.end())
    clientListeners_.push_back(listener);
}

void ServletRegistry::removeClientListener(IpcClientListener* listener) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  clientListeners_.erase(std::remove(clientListeners_.begin(), clientListeners_.end(), listener),
                         clientListeners_.end());
}

void ServletRegistry::notifyClientLeft(const std::string& connection) {
  // Held while the listeners run, so that a removed listener is never called afterwards.
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (IpcClientListener* listener : clientListeners_) {
    try {
      listener->clientLeft(connection);
    } catch (const std::exception& e) {
      ZEM_ERROR("IPC client listener failed for " << connection << ": " << e.what());
    } catch (...) {
      ZEM_ERROR("IPC client listener failed for " << connection);
    }
  }
}

void ServletRegistry::clear() {
  std::map<std::string, Entry> servlets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    servlets.swap(servlets_);
    listeners_.clear();
  }
}

IpcParameterSet runServlet(const ServletRegistry::Entry& entry, IpcParameterSet in, IpcCaller caller) {
  const IpcMethodCallRequest request(std::move(in), std::move(caller));
  IpcMethodCallResponse response;
  entry.servlet->processMethodCall(*entry.definition, request, response);
  return response.takeParameters();
}

}  // namespace detail
}  // namespace Ipc
