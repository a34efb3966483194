#include "ipc/ClientCallLimiter.h"

namespace Ipc {
namespace detail {

std::unique_ptr<ClientCallLimiter::Slot> ClientCallLimiter::admit(const std::string& client) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t& count = inFlight_[client];
    if (count >= limit_) return nullptr;
    ++count;
  }
  return std::make_unique<Slot>(*this, client);
}

void ClientCallLimiter::release(const std::string& client) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = inFlight_.find(client);
    if (it == inFlight_.end() || --it->second != 0) return;
    inFlight_.erase(it);
    if (departed_.erase(client) == 0) return;
  }
  if (onIdle_) onIdle_(client);
}

void ClientCallLimiter::departed(const std::string& client) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inFlight_.count(client) != 0) {
      departed_.insert(client);
      return;
    }
  }
  if (onIdle_) onIdle_(client);
}

}  // namespace detail
}  // namespace Ipc
