// Listener bookkeeping shared by every servlet.
#include "kest/ipc/IpcServlet.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "kest/ApplicationLogger.h"

namespace Ipc {

void IpcServlet::addListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  if (listener == nullptr) return;
  const std::string key = definition.getKey();
  std::vector<HeldMessage> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_[key].push_back(listener);
    const auto isDue = [&key](const HeldMessage& held) { return held.definition.getKey() == key; };
    const auto firstKept =
        std::stable_partition(held_.begin(), held_.end(), [&](const HeldMessage& held) { return !isDue(held); });
    std::move(firstKept, held_.end(), std::back_inserter(due));
    held_.erase(firstKept, held_.end());
  }
  // Delivered without the lock: a listener may call back into the servlet.
  for (const HeldMessage& held : due) {
    const IpcMessage message(std::make_unique<IpcStringMessageContent>(held.text));
    for (IpcListener* each : listenersFor(key)) each->ipcMessageReceived(held.definition, message);
  }
}

bool IpcServlet::deliverOrHold(const IpcMessageDefinition& definition, const std::string& text) {
  const std::string key = definition.getKey();
  std::vector<IpcListener*> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners = listeners_[key];
    if (listeners.empty()) {
      if (held_.size() >= kMaxHeldMessages) {
        ZEM_ERROR("No listener for " << key << " yet and " << kMaxHeldMessages
                                     << " messages held already: the message is dropped");
        return false;
      }
      held_.push_back(HeldMessage{definition, text});
      return true;
    }
  }
  const IpcMessage message(std::make_unique<IpcStringMessageContent>(text));
  for (IpcListener* listener : listeners) listener->ipcMessageReceived(definition, message);
  return true;
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

bool IpcMethodServlet::processMethodCallAtOnce(const IpcMessageDefinition& /*definition*/,
                                               const IpcMethodCallRequest& /*request*/,
                                               IpcMethodCallResponse& /*response*/) {
  return false;
}

}  // namespace Ipc
