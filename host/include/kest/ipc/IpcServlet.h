// Servlets: handlers of IPC method calls, registered with the IpcService which owns them.
// Thread safety: processMethodCall may run concurrently on several dispatch threads; the
// listener list and the held messages of an IpcServlet are guarded by its own mutex.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/ipc/IpcListener.h"
#include "kest/ipc/IpcMethodCall.h"
#include "kest/ipc/IpcTypes.h"

class ExtensionServices;

namespace Ipc {

class KEST_EXPORT IpcServlet {
 public:
  // Messages held per servlet while no listener is registered for their key (deliverOrHold).
  static constexpr size_t kMaxHeldMessages = 256;

  virtual ~IpcServlet() = default;
  // Appends a listener (not owned) for the definition's key; adding twice calls it twice. The
  // first listener of a key then receives, in arrival order, the messages held for that key.
  virtual void addListener(const IpcMessageDefinition& definition, IpcListener* listener);
  // Removes every occurrence of the listener for the definition's key.
  virtual void removeListener(const IpcMessageDefinition& definition, IpcListener* listener);

 protected:
  // Returns a copy of the listeners registered for the key (an empty list is created for a key
  // that has none), so callbacks run without the lock held.
  std::vector<IpcListener*> listenersFor(const std::string& key);
  // Calls every listener of the definition's key with an IpcMessage holding `text`. While the key
  // has no listener the text is held (at most kMaxHeldMessages per servlet) and delivered when a
  // listener is added. Returns false when the message was dropped because the bound was reached
  // (logged at ERROR with the key only). Listener exceptions propagate.
  bool deliverOrHold(const IpcMessageDefinition& definition, const std::string& text);

 private:
  struct HeldMessage {
    IpcMessageDefinition definition;
    std::string text;
  };

  std::mutex mutex_;
  std::map<std::string, std::vector<IpcListener*>> listeners_;  // guarded by mutex_
  std::vector<HeldMessage> held_;                               // guarded by mutex_, arrival order
};

class KEST_EXPORT IpcMethodServlet : public IpcServlet {
 public:
  // `services` is not owned and may be null.
  IpcMethodServlet(const IpcMessageDefinition& definition, ExtensionServices* services)
      : definition_(definition), services_(services) {}
  virtual IpcMethodServlet* getServlet() { return this; }
  // Handles one call: reads "in" parameters from `request`, adds "out" parameters to `response`.
  // An exception escaping it is logged by the IpcService and answered as a D-Bus error.
  virtual void processMethodCall(const IpcMessageDefinition& definition, const IpcMethodCallRequest& request,
                                 IpcMethodCallResponse& response) = 0;
  // True when processMethodCallAtOnce may answer some calls; the transport then offers it every
  // call whose strings and byte fields are small (at most 64 KiB each). False by default.
  virtual bool mayAnswerAtOnce() const { return false; }
  // Answers the call at once on the transport's own thread, ahead of the dispatch threads: returns
  // true with the answer in `response`, or false, having changed nothing, to have the call run
  // through processMethodCall on a dispatch thread as usual. That thread also answers "Ping", so
  // an override must never block, wait for a lock, call out or do I/O beyond logging; an exception
  // counts as false. The default declines every call.
  virtual bool processMethodCallAtOnce(const IpcMessageDefinition& definition, const IpcMethodCallRequest& request,
                                       IpcMethodCallResponse& response);
  const IpcMessageDefinition& getDefinition() const { return definition_; }

 protected:
  ExtensionServices* getExtensionServices() const { return services_; }

 private:
  IpcMessageDefinition definition_;
  ExtensionServices* services_;
};

}  // namespace Ipc
