// Request and response of one IPC method call, as seen by a servlet.
// Thread safety: a request and its response belong to the dispatch thread running the call.
#pragma once

#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {

// Who made a call, as the transport vouches for it (never taken from the payload).
struct KEST_EXPORT IpcCaller {
  // NAME when the calling connection owns "com.olvane.NAME" (the first in sort order when it owns
  // several), otherwise `connection`. Meant for logs; permission checks use `names`.
  std::string sender;
  // Every NAME of the "com.olvane.NAME" names the connection owns, in sort order; {connection} when
  // it owns none.
  std::vector<std::string> names;
  // The connection's unique name (":1.42"), the key IpcClientListener::clientLeft names.
  std::string connection;

  // A caller known by the one name `name`, which is also its connection (in-process callers).
  static IpcCaller named(const std::string& name) { return IpcCaller{name, {name}, name}; }
};

class KEST_EXPORT IpcMethodCallRequest {
 public:
  IpcMethodCallRequest(IpcParameterSet parameters, IpcCaller caller)
      : parameters_(std::move(parameters)), caller_(std::move(caller)) {}
  // A call of IpcCaller::named(sender).
  IpcMethodCallRequest(IpcParameterSet parameters, const std::string& sender)
      : IpcMethodCallRequest(std::move(parameters), IpcCaller::named(sender)) {}

  // Returns the "in" parameter of that name as P. Throws IpcException when it is missing or of
  // another type ("Parameter does not have the right type: " + name); the error is also logged.
  template <class P>
  const P& getParameter(const std::string& name) const {
    try {
      return parameters_.get<P>(name);
    } catch (const IpcException& e) {
      logParameterError(e.what());
      throw;
    }
  }
  const IpcParameterSet& getParameters() const { return parameters_; }
  // The calling component as vouched for by the transport: NAME when the caller owns
  // "com.olvane.NAME" (the first in sort order when it owns several), otherwise its unique
  // connection name. Never empty over D-Bus.
  const std::string& getSender() const { return caller_.sender; }
  // Every component name the caller owns (IpcCaller::names): a permission held by any one of them
  // is the caller's. Never empty over D-Bus.
  const std::vector<std::string>& getSenderNames() const { return caller_.names; }
  // The caller's unique connection name (IpcCaller::connection).
  const std::string& getConnection() const { return caller_.connection; }
  const IpcCaller& getCaller() const { return caller_; }

 private:
  static void logParameterError(const std::string& text);
  IpcParameterSet parameters_;
  IpcCaller caller_;
};

class KEST_EXPORT IpcMethodCallResponse {
 public:
  // Adds an "out" parameter; the response owns it.
  void addParameter(std::unique_ptr<IpcParameter> parameter) { parameters_.add(std::move(parameter)); }
  const IpcParameterSet& getParameters() const { return parameters_; }
  IpcParameterSet takeParameters() { return std::move(parameters_); }

 private:
  IpcParameterSet parameters_;
};

}  // namespace Ipc
