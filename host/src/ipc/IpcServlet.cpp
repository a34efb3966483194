// Listener bookkeeping shared by every servlet.
#include "kest/ipc/IpcServlet.h"

#include <algorithm>

namespace Ipc {

void IpcServlet::addListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_[definition.getKey()].push_back(listener);
}

void IpcServlet::removeListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = listeners_.find(definition.getKey());
  if (it == listeners_.end()) return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

std::vector<IpcListener*> IpcServlet::listenersFor(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_[key];
}

}  // namespace Ipc
