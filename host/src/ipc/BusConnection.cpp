#include "ipc/BusConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <system_error>

#include <sdbus-c++/Error.h>

#include "kest/ApplicationLogger.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

namespace {

// How long a caller waits beyond the call's own timeout, which sd-bus enforces, before it gives up
// on a bus thread that no longer answers.
constexpr std::chrono::milliseconds kReplyGrace(2000);

bool isAbsentService(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         errorName == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

bool isTimeout(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.Timeout" || errorName == "org.freedesktop.DBus.Error.TimedOut";
}

std::string callText(const std::string& busName, const std::string& interfaceName, const std::string& method) {
  return interfaceName + "." + method + " on " + busName;
}

IpcException describe(const sdbus::Error& error, const std::string& busName, const std::string& interfaceName,
                      const std::string& method) {
  if (isAbsentService(error.getName())) return IpcException("service " + busName + " is not running");
  if (isTimeout(error.getName()))
    return IpcException("call of " + callText(busName, interfaceName, method) + " timed out");
  // sd-bus reports its own timeout as NoReply ("Method call timed out"), as the bus does for a peer
  // that went away without answering.
  if (error.getName() == "org.freedesktop.DBus.Error.NoReply") {
    if (error.getMessage().find("timed out") != std::string::npos)
      return IpcException("call of " + callText(busName, interfaceName, method) + " timed out");
    return IpcException("call of " + callText(busName, interfaceName, method) + " got no reply: " + error.getMessage());
  }
  return IpcException("call of " + callText(busName, interfaceName, method) + " failed: " + error.getName() + ": " +
                      error.getMessage());
}

// The state shared by a waiting caller and the reply callback on the bus thread. mutex guards all.
struct PendingCall {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;  // the caller gave up; `read` must not be touched any more
  const std::function<void(sdbus::MethodReply&)>* read = nullptr;
  std::exception_ptr failure;
};

}  // namespace

EventFd::EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw IpcException(std::string("Cannot create an eventfd: ") + std::strerror(errno));
}

EventFd::~EventFd() { ::close(fd_); }

void EventFd::signal() const {
  const uint64_t one = 1;
  // A full counter already means "wake up", so a failed write loses nothing.
  (void)!::write(fd_, &one, sizeof(one));
}

void EventFd::drain() const {
  uint64_t value = 0;
  (void)!::read(fd_, &value, sizeof(value));
}

BusConnection::BusConnection(DBusBusType bus, std::function<void()> onLost) : onLost_(std::move(onLost)) {
  try {
    connection_ = bus == DBusBusType::System ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    throw IpcException(std::string("Cannot connect to the D-Bus ") +
                       (bus == DBusBusType::System ? "system" : "session") + " bus: " + e.getMessage());
  }
}

BusConnection::~BusConnection() { stop(); }

std::string BusConnection::uniqueName() const {
  try {
    return connection_->getUniqueName();
  } catch (const sdbus::Error& e) {
    throw IpcException("Cannot read the unique D-Bus name: " + e.getMessage());
  }
}

void BusConnection::ownName(const std::string& busName) {
  std::string refusal;
  try {
    connection_->requestName(busName);
  } catch (const sdbus::Error& e) {
    refusal = e.getMessage();
  }
  std::string owner;
  try {
    call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        [&](sdbus::MethodCall& message) { message << busName; }, [&](sdbus::MethodReply& reply) { reply >> owner; },
        std::chrono::milliseconds(5000));
  } catch (const IpcException&) {
    owner.clear();
  }
  if (!owner.empty() && owner == uniqueName()) return;
  if (refusal.empty()) {
    try {
      connection_->releaseName(busName);  // leaves the queue of waiting owners
    } catch (const sdbus::Error&) {
    }
  }
  if (!owner.empty()) throw IpcException("Cannot own the D-Bus name " + busName + ": another connection owns it");
  throw IpcException("Cannot own the D-Bus name " + busName + ": " +
                     (refusal.empty() ? "the bus did not grant it" : refusal));
}

void BusConnection::start() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (thread_.joinable() || stopRequested_) return;
  running_ = true;
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error& e) {
    running_ = false;
    throw IpcException(std::string("Cannot start the D-Bus thread: ") + e.what());
  }
}

void BusConnection::stop() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  stopRequested_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
  running_ = false;
}

void BusConnection::afterSend() {
  if (!running_ || onBusThread()) return;
  try {
    if ((connection_->getEventLoopPollData().events & POLLOUT) != 0) wake();
  } catch (const sdbus::Error&) {
    wake();
  }
}

sdbus::IProxy& BusConnection::proxyFor(const std::string& busName, const std::string& objectPath) {
  std::lock_guard<std::mutex> lock(proxiesMutex_);
  auto& proxy = proxies_[std::make_pair(busName, objectPath)];
  if (proxy == nullptr) proxy = sdbus::createProxy(*connection_, busName, objectPath);
  return *proxy;
}

void BusConnection::call(const std::string& busName, const std::string& objectPath, const std::string& interfaceName,
                         const std::string& method, const std::function<void(sdbus::MethodCall&)>& write,
                         const std::function<void(sdbus::MethodReply&)>& read, std::chrono::milliseconds timeout) {
  if (onBusThread())
    throw IpcException("A D-Bus call cannot wait on the bus thread: " + callText(busName, interfaceName, method));
  const auto timeoutUsec = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::max(timeout, std::chrono::milliseconds(1))).count());
  try {
    sdbus::IProxy& proxy = proxyFor(busName, objectPath);
    sdbus::MethodCall message = proxy.createMethodCall(interfaceName, method);
    write(message);

    if (!running_) {
      // Nobody else reads the connection: sd-bus waits for the reply on this thread.
      sdbus::MethodReply reply = proxy.callMethod(message, timeoutUsec);
      read(reply);
      return;
    }

    auto pending = std::make_shared<PendingCall>();
    pending->read = &read;
    proxy.callMethod(
        message,
        [pending](sdbus::MethodReply& reply, const sdbus::Error* error) {
          std::lock_guard<std::mutex> lock(pending->mutex);
          if (pending->abandoned) return;
          try {
            if (error != nullptr) throw *error;
            (*pending->read)(reply);
          } catch (...) {
            pending->failure = std::current_exception();
          }
          pending->finished = true;
          pending->done.notify_all();
        },
        timeoutUsec);
    wake();  // the bus thread must learn the new call's timeout

    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->done.wait_for(lock, timeout + kReplyGrace, [&] { return pending->finished; })) {
      pending->abandoned = true;
      throw IpcException("call of " + callText(busName, interfaceName, method) + " timed out");
    }
    if (pending->failure) std::rethrow_exception(pending->failure);
  } catch (const sdbus::Error& e) {
    throw describe(e, busName, interfaceName, method);
  }
}

sdbus::Slot BusConnection::addMatch(const std::string& rule, sdbus::message_handler handler) {
  try {
    sdbus::Slot slot = connection_->addMatch(rule, std::move(handler));
    // Adding a rule waits for the bus's answer, reading whatever else arrives meanwhile; the bus
    // thread must look at what was read.
    wake();
    return slot;
  } catch (const sdbus::Error& e) {
    wake();
    throw IpcException("The D-Bus refused the match rule " + rule + ": " + e.getMessage());
  }
}

unsigned long BusConnection::wakeForProbe() {
  const unsigned long mark = loopPasses_.load(std::memory_order_relaxed);
  wake();
  return mark;
}

bool BusConnection::probe(unsigned long mark, std::chrono::steady_clock::time_point deadline) {
  // A healthy thread answers within microseconds: start with short pauses and lengthen them.
  for (std::chrono::microseconds pause(50); loopPasses_.load(std::memory_order_relaxed) == mark;
       pause = std::min(pause * 2, std::chrono::microseconds(10000))) {
    if (!running_ || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

void BusConnection::loop() {
  busThreadId_ = std::this_thread::get_id();
  while (!stopRequested_) {
    try {
      while (!stopRequested_ && connection_->processPendingRequest()) {
      }
      if (stopRequested_) break;
      const auto pollData = connection_->getEventLoopPollData();
      pollfd fds[2] = {{pollData.fd, static_cast<short>(pollData.events), 0}, {wakeFd_.fd(), POLLIN, 0}};
      const int r = ::poll(fds, 2, pollData.getPollTimeout());
      loopPasses_.fetch_add(1, std::memory_order_relaxed);
      if (r < 0 && errno != EINTR) {
        ZEM_ERROR("Waiting on the D-Bus connection failed: " << std::strerror(errno));
        break;
      }
      if ((fds[1].revents & POLLIN) != 0) wakeFd_.drain();
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !connection_->processPendingRequest()) {
        ZEM_ERROR("The D-Bus connection was closed by the bus");
        break;
      }
    } catch (const sdbus::Error& e) {
      ZEM_ERROR("The D-Bus connection failed: " << e.getName() << ": " << e.getMessage());
      break;
    } catch (const std::exception& e) {
      ZEM_ERROR("The D-Bus thread failed: " << e.what());
      break;
    }
  }
  running_ = false;
  const bool lost = !stopRequested_;
  busThreadId_ = std::thread::id();
  if (lost && onLost_) {
    try {
      onLost_();
    } catch (...) {
      ZEM_ERROR("The handler of a lost D-Bus connection failed");
    }
  }
}

}  // namespace detail
}  // namespace Ipc
