// Counts the calls each client (a unique connection name) has in flight, so that one client cannot
// fill the dispatch queue: beyond the limit its calls are refused at once.
// Thread safety: every method may be called from any thread; mutex_ guards inFlight_.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace Ipc {
namespace detail {

class ClientCallLimiter {
 public:
  // A call counted against its client; the count drops when the slot is destroyed.
  class Slot {
   public:
    Slot(ClientCallLimiter& limiter, std::string client) : limiter_(limiter), client_(std::move(client)) {}
    ~Slot() { limiter_.release(client_); }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

   private:
    ClientCallLimiter& limiter_;
    const std::string client_;
  };

  // `limit` calls per client at most; 0 counts as 1.
  explicit ClientCallLimiter(std::size_t limit) : limit_(limit == 0 ? 1 : limit) {}

  // Returns a slot for one more call of `client`, or nullptr when the client has `limit` calls in
  // flight already. REQUIRES: the limiter outlives the slot.
  std::unique_ptr<Slot> admit(const std::string& client);
  std::size_t limit() const { return limit_; }

 private:
  void release(const std::string& client);

  const std::size_t limit_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> inFlight_;  // only clients with calls in flight; guarded by mutex_
};

}  // namespace detail
}  // namespace Ipc
