#include "ipc/NameOwnerCache.h"

#include "ipc/DBusNames.h"

namespace Ipc {
namespace detail {

void NameOwnerCache::setOwner(const std::string& busName, const std::string& owner) {
  const std::string component = componentOfBusName(busName);
  if (component.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto previous = ownerOf_.find(busName);
  if (previous != ownerOf_.end()) {
    const auto components = componentsOf_.find(previous->second);
    if (components != componentsOf_.end()) {
      components->second.erase(component);
      if (components->second.empty()) componentsOf_.erase(components);
    }
    ownerOf_.erase(previous);
  }
  if (owner.empty()) return;
  ownerOf_[busName] = owner;
  componentsOf_[owner].insert(component);
}

std::string NameOwnerCache::senderOf(const std::string& uniqueName) const {
  if (uniqueName.empty()) return ":unknown";
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = componentsOf_.find(uniqueName);
  if (it == componentsOf_.end() || it->second.empty()) return uniqueName;
  return *it->second.begin();
}

IpcCaller NameOwnerCache::callerOf(const std::string& uniqueName) const {
  const std::string connection = uniqueName.empty() ? ":unknown" : uniqueName;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = componentsOf_.find(connection);
  if (it == componentsOf_.end() || it->second.empty()) return IpcCaller::named(connection);
  return IpcCaller{*it->second.begin(), std::vector<std::string>(it->second.begin(), it->second.end()), connection};
}

}  // namespace detail
}  // namespace Ipc
