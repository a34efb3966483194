// Listener interfaces and message for IPC notifications delivered to in-process listeners.
// Thread safety: ipcMessageReceived runs on an IPC dispatch thread, clientLeft on a transport
// thread; implementations synchronise.
#pragma once

#include <memory>
#include <string>

#include "kest/Export.h"

namespace Ipc {
class IpcMessageDefinition;
}

class KEST_EXPORT IpcMessageContent {
 public:
  virtual ~IpcMessageContent() = default;
};

class KEST_EXPORT IpcStringMessageContent : public IpcMessageContent {
 public:
  explicit IpcStringMessageContent(std::string text) : text_(std::move(text)) {}
  const std::string& getString() const { return text_; }

 private:
  std::string text_;
};

// A message handed to listeners. Owns its content.
class KEST_EXPORT IpcMessage {
 public:
  explicit IpcMessage(std::unique_ptr<IpcMessageContent> content) : content_(std::move(content)) {}
  // REQUIRES: the message has content.
  const IpcMessageContent& getContent() const { return *content_; }

 private:
  std::unique_ptr<IpcMessageContent> content_;
};

class KEST_EXPORT IpcListener {
 public:
  virtual ~IpcListener() = default;
  // Called for each message of a definition the listener was added for. The result is the
  // listener's answer text (unused by the host).
  virtual std::string ipcMessageReceived(const Ipc::IpcMessageDefinition& definition, const IpcMessage& message) = 0;
};

namespace Ipc {

// Told when a caller's connection leaves the bus, so that whatever is kept per caller can go.
class KEST_EXPORT IpcClientListener {
 public:
  virtual ~IpcClientListener() = default;
  // `connection` (IpcCaller::connection, ":1.42") has left the bus and none of its calls is running
  // or waiting any more: no call of it follows. Called once per connection that made a call, and
  // possibly for connections that never called. Runs on a transport thread while the service's
  // list of client listeners is locked: it must return quickly and must not call the IpcService.
  virtual void clientLeft(const std::string& connection) = 0;
};

}  // namespace Ipc
