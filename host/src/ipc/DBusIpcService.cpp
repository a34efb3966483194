#include "kest/ipc/DBusIpcService.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Message.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "ipc/BusConnection.h"
#include "ipc/ClientCallLimiter.h"
#include "ipc/DBusConversion.h"
#include "ipc/DBusNames.h"
#include "ipc/DispatchPool.h"
#include "ipc/NameOwnerCache.h"
#include "ipc/NameOwnerWatch.h"
#include "ipc/ServletRegistry.h"
#include "kest/ApplicationLogger.h"

namespace Ipc {

using detail::BusConnection;
using detail::ClientCallLimiter;
using detail::DispatchPool;

namespace {

const char kErrorFailed[] = "org.freedesktop.DBus.Error.Failed";
const char kErrorUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
const char kErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
const char kErrorLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";
// A call offered to a servlet's at-once answer carries no string or byte field longer than this:
// the bus thread never copies more for a call that a dispatch thread may run after all.
constexpr size_t kMaxAtOnceValueBytes = 64 * 1024;
// After a call whose arguments held this much, the memory freed is handed back to the system at
// once: a few large calls must not leave the daemon's resident size pinned at their peak.
constexpr size_t kLargeCallBytes = 1024 * 1024;
const char kSignalInterface[] = "com.olvane.Zem";

// Hands the heap's free memory back to the system (glibc keeps it otherwise).
void giveBackFreedMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

}  // namespace

class DBusIpcService::Impl {
 public:
  Impl(const std::string* name, const Options& options);
  ~Impl();

  void start();
  void stop();
  void registerServlet(const IpcMessageDefinition& definition, std::unique_ptr<IpcMethodServlet> servlet);
  void sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters);
  IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                             const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                             std::chrono::milliseconds timeout);
  Progress probe(std::chrono::milliseconds timeout);

  const std::string& component() const { return component_; }
  BusConnection& bus() { return bus_; }
  detail::ServletRegistry& registry() { return registry_; }

  // Answers `call` with a D-Bus error, unless its caller wants no reply. Never throws.
  void replyError(const sdbus::MethodCall& call, const char* errorName, const std::string& text);

 private:
  class CallJob;
  enum class State { Created, Running, Stopped };

  // Bus thread: hands the call to a dispatch thread, with the sender as the bus knows it now, unless
  // its client has too many calls in flight (answered at once with LimitsExceeded).
  void onMethodCall(const std::string& key, sdbus::MethodCall call) noexcept;
  // Bus thread: runs a liveness member's servlet right here, ahead of every queued call; never
  // refused for load, so a flood cannot hide that the service is alive.
  void onLivenessCall(const std::string& key, sdbus::MethodCall call) noexcept;
  bool isLiveness(const IpcMessageDefinition& definition) const;
  // Bus thread: lets the servlet answer at once (IpcMethodServlet::processMethodCallAtOnce) and
  // sends the answer. Returns false, with the call's arguments rewound, when the servlet declines.
  bool answerAtOnce(const std::string& key, sdbus::MethodCall& call, const IpcCaller& caller);
  // Sends `out` as the answer of `call` (nothing when no answer is expected); an answer D-Bus
  // cannot carry is replaced by an error. Any thread. Throws sdbus::Error when sending fails.
  void reply(const sdbus::MethodCall& call, const std::string& key, const IpcParameterSet& out);

  const Options options_;
  const bool ownsName_;
  std::string component_;
  std::string busName_;
  std::string objectPath_;
  // Declared first so that it is destroyed last: everything below uses the connection.
  BusConnection bus_;
  detail::NameOwnerCache owners_;
  detail::ServletRegistry registry_;
  ClientCallLimiter limiter_;
  DispatchPool pool_;
  std::atomic<bool> accepting_{true};
  std::mutex stateMutex_;
  State state_ = State::Created;  // guarded by stateMutex_
  sdbus::Slot nameOwnerSlot_;
  sdbus::Slot nameVanishedSlot_;
  std::unique_ptr<sdbus::IObject> signalObject_;
  // One object per served member, all on objectPath_: sd-bus merges their vtables, so a member added
  // later never disturbs the members already served. Bus-thread callbacks never take objectsMutex_.
  std::mutex objectsMutex_;
  std::map<std::string, std::unique_ptr<sdbus::IObject>> objects_;  // guarded by objectsMutex_
};

// One received call on its way through a dispatch thread.
class DBusIpcService::Impl::CallJob : public DispatchPool::Job {
 public:
  CallJob(Impl& impl, std::string key, sdbus::MethodCall call, IpcCaller caller,
          std::unique_ptr<ClientCallLimiter::Slot> slot)
      : impl_(impl), key_(std::move(key)), call_(std::move(call)), caller_(std::move(caller)), slot_(std::move(slot)) {}

  void run() noexcept override {
    size_t argumentBytes = 0;
    answer(&argumentBytes);
    if (argumentBytes >= kLargeCallBytes) {
      call_ = sdbus::MethodCall();  // the received message goes first
      giveBackFreedMemory();
    }
  }

  void cancel(DispatchPool::Refusal refusal) noexcept override {
    if (refusal == DispatchPool::Refusal::Overloaded)
      impl_.replyError(call_, kErrorLimitsExceeded, "The call " + key_ + " was not run: too many calls are waiting");
    else
      impl_.replyError(call_, kErrorFailed, "The call " + key_ + " was not run: the service is stopping");
  }

 private:
  // Reads the arguments (within the definition's caps), runs the servlet and sends the answer or an
  // error. `argumentBytes` receives the size of the arguments read.
  void answer(size_t* argumentBytes) noexcept {
    try {
      const detail::ServletRegistry::Entry entry = impl_.registry().find(key_);
      if (entry.servlet == nullptr) {
        impl_.replyError(call_, kErrorUnknownMethod, "No servlet serves " + key_);
        return;
      }
      IpcParameterSet in;
      try {
        in = detail::readParameters(call_, detail::ValueCaps::of(*entry.definition), argumentBytes);
      } catch (const sdbus::Error& e) {
        const bool tooLarge = e.getName() == kErrorLimitsExceeded;
        impl_.replyError(
            call_, tooLarge ? kErrorLimitsExceeded : kErrorInvalidArgs,
            (tooLarge ? "Arguments refused for " : "Unreadable arguments for ") + key_ + ": " + e.getMessage());
        return;
      }
      IpcParameterSet out;
      try {
        out = detail::runServlet(entry, std::move(in), caller_);
        detail::checkSendable(out);
      } catch (const std::exception& e) {
        ZEM_ERROR("The IPC servlet of " << entry.definition->toString() << " failed");
        ZEM_ERROR(e.what());
        impl_.replyError(call_, kErrorFailed, e.what());
        return;
      } catch (...) {
        ZEM_ERROR("The IPC servlet of " << entry.definition->toString() << " failed with an unknown exception");
        impl_.replyError(call_, kErrorFailed, "unknown exception in the servlet of " + key_);
        return;
      }
      impl_.reply(call_, key_, out);
    } catch (const std::exception& e) {
      ZEM_ERROR("Cannot answer the IPC call " << key_ << ": " << e.what());
    } catch (...) {
      ZEM_ERROR("Cannot answer the IPC call " << key_);
    }
  }

  Impl& impl_;
  const std::string key_;
  sdbus::MethodCall call_;  // released early after a large call
  const IpcCaller caller_;
  // Counts the call against its client until the job is gone (after run() or cancel()).
  const std::unique_ptr<ClientCallLimiter::Slot> slot_;
};

DBusIpcService::Impl::Impl(const std::string* name, const Options& options)
    : options_(options),
      ownsName_(name != nullptr),
      bus_(options.bus, options.onBusLost),
      limiter_(options.maxCallsPerClient,
               [this](const std::string& connection) { registry_.notifyClientLeft(connection); }),
      pool_(options.dispatchThreads, options.maxPendingCalls) {
  if (ownsName_) {
    if (name->find('.') == std::string::npos) {
      component_ = *name;
    } else {
      component_ = detail::componentOfBusName(*name);
      if (component_.empty() || component_.find('.') != std::string::npos)
        throw IpcException("Invalid component name: " + *name);
    }
    const detail::DBusDestination destination = detail::destinationOf(component_);
    busName_ = destination.busName;
    objectPath_ = destination.objectPath;
  }
  // Watch first, then read the current owners: no change can fall between the two.
  nameOwnerSlot_ = detail::followNameOwners(bus_, owners_);
  // A connection that left the bus is handed to the limiter, which tells the client listeners once
  // its last call has ended.
  if (ownsName_)
    nameVanishedSlot_ =
        detail::watchDepartures(bus_, [this](const std::string& connection) { limiter_.departed(connection); });
  if (ownsName_) {
    bus_.ownName(busName_);
    owners_.setOwner(busName_, bus_.uniqueName());
    try {
      signalObject_ = sdbus::createObject(bus_.connection(), objectPath_);
    } catch (const sdbus::Error& e) {
      throw IpcException("Cannot create the D-Bus object " + objectPath_ + ": " + e.getMessage());
    }
  }
}

DBusIpcService::Impl::~Impl() { stop(); }

void DBusIpcService::Impl::start() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (state_ == State::Running) return;
  if (state_ == State::Stopped) throw IpcException("A stopped IPC service cannot start again");
  try {
    if (ownsName_) pool_.start();
  } catch (const std::system_error& e) {
    throw IpcException(std::string("Cannot start the IPC dispatch threads: ") + e.what());
  }
  bus_.start();
  state_ = State::Running;
}

void DBusIpcService::Impl::stop() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (state_ == State::Stopped) return;
  accepting_ = false;
  pool_.stop();  // running servlets finish; they may still call out through the bus thread
  bus_.stop();
  state_ = State::Stopped;
}

DBusIpcService::Progress DBusIpcService::Impl::probe(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const unsigned long mark = bus_.wakeForProbe();
  Progress progress;
  progress.dispatchThreads = ownsName_ && pool_.probe(deadline);
  progress.busThread = bus_.probe(mark, deadline);
  return progress;
}

void DBusIpcService::Impl::onMethodCall(const std::string& key, sdbus::MethodCall call) noexcept {
  try {
    if (!accepting_) {
      replyError(call, kErrorFailed, "The call " + key + " was not run: the service is stopping");
      return;
    }
    const std::string client = call.getSender();
    std::unique_ptr<ClientCallLimiter::Slot> slot = limiter_.admit(client);
    if (slot == nullptr) {
      replyError(call, kErrorLimitsExceeded,
                 "The call " + key + " was not run: the caller has " + std::to_string(limiter_.limit()) +
                     " calls in flight already");
      return;
    }
    IpcCaller caller = owners_.callerOf(client);
    if (answerAtOnce(key, call, caller)) return;
    pool_.post(std::make_unique<CallJob>(*this, key, std::move(call), std::move(caller), std::move(slot)));
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot dispatch the IPC call " << key << ": " << e.what());
  }
}

void DBusIpcService::Impl::onLivenessCall(const std::string& key, sdbus::MethodCall call) noexcept {
  try {
    if (!accepting_) {
      replyError(call, kErrorFailed, "The call " + key + " was not run: the service is stopping");
      return;
    }
    IpcCaller caller = owners_.callerOf(call.getSender());
    CallJob(*this, key, std::move(call), std::move(caller), nullptr).run();
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot answer the IPC call " << key << ": " << e.what());
  }
}

bool DBusIpcService::Impl::answerAtOnce(const std::string& key, sdbus::MethodCall& call, const IpcCaller& caller) {
  const detail::ServletRegistry::Entry entry = registry_.find(key);
  if (entry.servlet == nullptr || !entry.servlet->mayAnswerAtOnce()) return false;
  IpcMethodCallResponse response;
  bool answered = false;
  try {
    const IpcMethodCallRequest request(
        detail::readParameters(call, detail::ValueCaps::of(*entry.definition).atMost(kMaxAtOnceValueBytes)), caller);
    answered = entry.servlet->processMethodCallAtOnce(*entry.definition, request, response);
    if (answered) detail::checkSendable(response.getParameters());
  } catch (const std::exception&) {
    answered = false;  // the dispatch thread runs the call and reports what is wrong
  }
  if (!answered) {
    call.rewind(true);  // the dispatch thread reads the arguments from the start
    return false;
  }
  reply(call, key, response.getParameters());
  return true;
}

void DBusIpcService::Impl::reply(const sdbus::MethodCall& call, const std::string& key, const IpcParameterSet& out) {
  if (call.doesntExpectReply()) return;
  sdbus::MethodReply reply = call.createReply();
  try {
    detail::appendParameters(reply, out);
  } catch (const sdbus::Error& e) {
    // An answer D-Bus cannot carry (a string that is no UTF-8) still ends the call.
    replyError(call, kErrorFailed, "Cannot send the answer of " + key + ": " + e.getMessage());
    return;
  }
  reply.send();
  bus_.afterSend();
}

bool DBusIpcService::Impl::isLiveness(const IpcMessageDefinition& definition) const {
  const auto& members = options_.livenessMembers;
  return std::find(members.begin(), members.end(), definition.getName()) != members.end();
}

void DBusIpcService::Impl::replyError(const sdbus::MethodCall& call, const char* errorName, const std::string& text) {
  try {
    if (call.doesntExpectReply()) return;
    sdbus::MethodReply reply = call.createErrorReply(sdbus::Error(errorName, text));
    reply.send();
    bus_.afterSend();
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot send the D-Bus error reply \"" << text << "\": " << e.what());
  }
}

void DBusIpcService::Impl::registerServlet(const IpcMessageDefinition& definition,
                                           std::unique_ptr<IpcMethodServlet> servlet) {
  if (servlet == nullptr) throw IpcException("Cannot serve " + definition.toString() + " with no servlet");
  if (!ownsName_) throw IpcException("A client-only IPC service serves nothing: " + definition.toString());
  detail::checkMemberName(definition.getName());
  const std::string key = definition.getKey();
  if (!registry_.registerServlet(definition, std::move(servlet))) return;  // its object serves already

  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (objects_.count(key) != 0) return;
  try {
    // Kinds with a fixed object (the vehicle bus) are served there; the others at the component's.
    const std::string& fixedPath = definition.getObjectPath();
    auto object = sdbus::createObject(bus_.connection(), fixedPath.empty() ? objectPath_ : fixedPath);
    sdbus::method_callback callback;
    if (isLiveness(definition))
      callback = [this, key](sdbus::MethodCall call) { onLivenessCall(key, std::move(call)); };
    else
      callback = [this, key](sdbus::MethodCall call) { onMethodCall(key, std::move(call)); };
    object->registerMethod(definition.getInterface(), definition.getName(), "a{sv}", "a{sv}", std::move(callback));
    object->finishRegistration();
    objects_.emplace(key, std::move(object));
  } catch (const sdbus::Error& e) {
    registry_.unregister(key);
    throw IpcException("Cannot serve " + definition.toString() + " on D-Bus: " + e.getMessage());
  }
}

void DBusIpcService::Impl::sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) {
  if (signalObject_ == nullptr)
    throw IpcException("A client-only IPC service sends no signals: " + definition.toString());
  detail::checkMemberName(definition.getName());
  detail::checkSendable(parameters);
  try {
    sdbus::Signal signal = signalObject_->createSignal(kSignalInterface, definition.getName());
    detail::appendParameters(signal, parameters);
    signalObject_->emitSignal(signal);
  } catch (const sdbus::Error& e) {
    throw IpcException("Cannot send the signal " + definition.getName() + ": " + e.getMessage());
  }
  bus_.afterSend();
}

IpcParameterSet DBusIpcService::Impl::callMethod(const std::string& component, const std::string& interfaceName,
                                                 const IpcMessageDefinition& definition,
                                                 const IpcParameterSet& parameters, std::chrono::milliseconds timeout) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  const std::string& objectPath =
      definition.getObjectPath().empty() ? destination.objectPath : definition.getObjectPath();
  const std::string interface = detail::resolveInterface(interfaceName, definition.getInterface());
  detail::checkMemberName(definition.getName());
  detail::checkSendable(parameters);
  IpcParameterSet result;
  bus_.call(
      destination.busName, objectPath, interface, definition.getName(),
      [&](sdbus::MethodCall& message) { detail::appendParameters(message, parameters); },
      [&](sdbus::MethodReply& reply) { result = detail::readParameters(reply); }, timeout);
  return result;
}

DBusIpcService::DBusIpcService(const std::string& name, Options options)
    : impl_(std::make_unique<Impl>(&name, options)) {}

DBusIpcService::DBusIpcService(ClientOnly, Options options) : impl_(std::make_unique<Impl>(nullptr, options)) {}

DBusIpcService::~DBusIpcService() {
  if (IpcService::getInstance() == this) IpcService::setInstance(nullptr);
  impl_->stop();
}

void DBusIpcService::start() { impl_->start(); }
void DBusIpcService::stop() { impl_->stop(); }
DBusIpcService::Progress DBusIpcService::probe(std::chrono::milliseconds timeout) { return impl_->probe(timeout); }
const std::string& DBusIpcService::getComponent() const { return impl_->component(); }
std::string DBusIpcService::getUniqueName() const { return impl_->bus().uniqueName(); }

void DBusIpcService::registerServlet(const IpcMessageDefinition& definition,
                                     std::unique_ptr<IpcMethodServlet> servlet) {
  impl_->registerServlet(definition, std::move(servlet));
}

void DBusIpcService::addListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  impl_->registry().addListener(definition, listener);
}

void DBusIpcService::removeListener(const IpcMessageDefinition& definition, IpcListener* listener) {
  impl_->registry().removeListener(definition, listener);
}

void DBusIpcService::addClientListener(IpcClientListener* listener) { impl_->registry().addClientListener(listener); }

void DBusIpcService::removeClientListener(IpcClientListener* listener) {
  impl_->registry().removeClientListener(listener);
}

void DBusIpcService::sendSignal(const IpcMessageDefinition& definition, const IpcParameterSet& parameters) {
  impl_->sendSignal(definition, parameters);
}

IpcParameterSet DBusIpcService::callMethod(const std::string& component, const std::string& interfaceName,
                                           const IpcMessageDefinition& definition, const IpcParameterSet& parameters,
                                           std::chrono::milliseconds timeout) {
  return impl_->callMethod(component, interfaceName, definition, parameters, timeout);
}

void DBusIpcService::notifyListeners(const IpcMessageDefinition& definition, const IpcMessage& message) {
  impl_->registry().notifyListeners(definition, message);
}

}  // namespace Ipc
