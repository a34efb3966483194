// Counts the calls each client (a unique connection name) has in flight, so that one client cannot
// fill the dispatch queue: beyond the limit its calls are refused at once. Also tells when a client
// that left the bus has no call in flight any more.
// Thread safety: every method may be called from any thread; mutex_ guards inFlight_ and departed_,
// and is never held while onIdle runs.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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

  // `limit` calls per client at most; 0 counts as 1. `onIdle` (may be empty) is told of each client
  // that departed() and has no call in flight any more.
  explicit ClientCallLimiter(std::size_t limit, std::function<void(const std::string&)> onIdle = {})
      : limit_(limit == 0 ? 1 : limit), onIdle_(std::move(onIdle)) {}

  // Returns a slot for one more call of `client`, or nullptr when the client has `limit` calls in
  // flight already. REQUIRES: the limiter outlives the slot.
  std::unique_ptr<Slot> admit(const std::string& client);
  std::size_t limit() const { return limit_; }
  // Records that `client` left the bus: onIdle runs for it now on this thread when it has no call
  // in flight, otherwise on the thread that releases its last slot.
  void departed(const std::string& client);

 private:
  void release(const std::string& client);

  const std::size_t limit_;
  const std::function<void(const std::string&)> onIdle_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> inFlight_;  // only clients with calls in flight; guarded by mutex_
  std::set<std::string> departed_;               // clients gone from the bus with calls in flight; guarded by mutex_
};

}  // namespace detail
}  // namespace Ipc
