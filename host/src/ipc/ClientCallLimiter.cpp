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
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = inFlight_.find(client);
  if (it == inFlight_.end()) return;
  if (--it->second == 0) inFlight_.erase(it);
}

}  // namespace detail
}  // namespace Ipc
