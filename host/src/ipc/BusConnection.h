// One sdbus-c++ connection with its own bus thread, shared by DBusIpcService and DBusIpcClient.
// The bus thread polls the connection and an eventfd, so that other threads can wake it after they
// queued output or started a call with a timeout; sdbus-c++ serialises every sd-bus access with its
// own lock, which the bus thread holds while it runs callbacks.
// Thread safety: every method may be called from any thread; call() not from the bus thread once it
// runs. Lock order: never call into sdbus-c++ while holding a lock that a bus-thread callback takes.
#pragma once

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>
#include <sdbus-c++/Message.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "kest/ipc/DBusBusType.h"

namespace Ipc {
namespace detail {

// An eventfd owned for its lifetime.
class EventFd {
 public:
  // Throws IpcException when the descriptor cannot be created.
  EventFd();
  ~EventFd();
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;
  int fd() const { return fd_; }
  void signal() const;
  void drain() const;

 private:
  int fd_;
};

class BusConnection {
 public:
  // Connects to `bus`. `onLost`, when set, is called once on the bus thread when the connection
  // breaks while the bus thread runs (not after stop()). Throws IpcException when the bus cannot be
  // reached.
  explicit BusConnection(DBusBusType bus, std::function<void()> onLost = {});
  // Stops the bus thread; the connection is flushed and closed.
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  sdbus::IConnection& connection() { return *connection_; }
  std::string uniqueName() const;

  // Makes this connection the primary owner of `busName`. Throws IpcException when the bus refuses or
  // another connection owns the name (the request is withdrawn then).
  // REQUIRES: the bus thread does not run yet.
  void ownName(const std::string& busName);

  // Starts the bus thread; a second call does nothing. Throws IpcException when it cannot start.
  void start();
  // Stops and joins the bus thread. Idempotent.
  void stop();
  bool onBusThread() const { return std::this_thread::get_id() == busThreadId_.load(); }

  // To be called after sending from any thread: when output is still queued (the socket did not take
  // the whole message at once), the bus thread is woken to write the rest. sdbus-c++ 1.2 flushes
  // after every send already; this keeps replies moving should a version queue instead.
  void afterSend();
  // Wakes the bus thread so that it recomputes what it waits for (new output, a new call timeout,
  // messages read by another thread).
  void wake() { wakeFd_.signal(); }
  // Wakes the bus thread, so that it goes round its loop, and returns the mark to probe it with.
  unsigned long wakeForProbe();
  // Returns true when the bus thread went round its loop after wakeForProbe() gave `mark` (it is not
  // stuck inside a callback), waiting until `deadline` at most; false on timeout or when the thread
  // does not run.
  bool probe(unsigned long mark, std::chrono::steady_clock::time_point deadline);

  // Calls a method and waits for its reply. `write` appends the arguments to the call; `read` takes
  // the reply's arguments and runs on the bus thread or the caller's. Throws IpcException with
  // "service <busName> is not running", a timeout text, or the D-Bus error's name and message;
  // exceptions of `read` propagate (as IpcException when they are sdbus::Error).
  // REQUIRES: not on the bus thread.
  void call(const std::string& busName, const std::string& objectPath, const std::string& interfaceName,
            const std::string& method, const std::function<void(sdbus::MethodCall&)>& write,
            const std::function<void(sdbus::MethodReply&)>& read, std::chrono::milliseconds timeout);

  // Adds a match rule whose handler runs on the bus thread; the rule lasts as long as the slot.
  // Throws IpcException when the bus refuses the rule.
  sdbus::Slot addMatch(const std::string& rule, sdbus::message_handler handler);

 private:
  sdbus::IProxy& proxyFor(const std::string& busName, const std::string& objectPath);
  void loop();

  std::unique_ptr<sdbus::IConnection> connection_;
  const std::function<void()> onLost_;
  EventFd wakeFd_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
  std::atomic<unsigned long> loopPasses_{0};  // counted by the bus thread after each wait
  std::atomic<std::thread::id> busThreadId_{};
  std::mutex threadMutex_;
  std::thread thread_;  // guarded by threadMutex_
  // Proxies live until the connection closes: the bus thread may still be inside one of them when a
  // caller has already returned. Declared after connection_ so they are destroyed first.
  std::mutex proxiesMutex_;
  std::map<std::pair<std::string, std::string>, std::unique_ptr<sdbus::IProxy>> proxies_;  // guarded by proxiesMutex_
};

}  // namespace detail
}  // namespace Ipc
