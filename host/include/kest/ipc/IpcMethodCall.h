// Request and response of one IPC method call, as seen by a servlet.
// Thread safety: a request and its response belong to the dispatch thread running the call.
#pragma once

#include <string>

#include "kest/ipc/IpcTypes.h"

namespace Ipc {

class IpcMethodCallRequest {
 public:
  IpcMethodCallRequest(IpcParameterSet parameters, std::string sender)
      : parameters_(std::move(parameters)), sender_(std::move(sender)) {}

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
  // "com.olvane.NAME", otherwise its unique connection name. Never empty over D-Bus.
  const std::string& getSender() const { return sender_; }

 private:
  static void logParameterError(const std::string& text);
  IpcParameterSet parameters_;
  std::string sender_;
};

class IpcMethodCallResponse {
 public:
  // Adds an "out" parameter; the response owns it.
  void addParameter(std::unique_ptr<IpcParameter> parameter) { parameters_.add(std::move(parameter)); }
  const IpcParameterSet& getParameters() const { return parameters_; }
  IpcParameterSet takeParameters() { return std::move(parameters_); }

 private:
  IpcParameterSet parameters_;
};

}  // namespace Ipc
