// Listener interface and message for IPC notifications delivered to in-process listeners.
// Thread safety: ipcMessageReceived runs on an IPC dispatch thread; implementations synchronise.
#pragma once

#include <memory>
#include <string>

namespace Ipc {
class IpcMessageDefinition;
}

class IpcMessageContent {
 public:
  virtual ~IpcMessageContent() = default;
};

class IpcStringMessageContent : public IpcMessageContent {
 public:
  explicit IpcStringMessageContent(std::string text) : text_(std::move(text)) {}
  const std::string& getString() const { return text_; }

 private:
  std::string text_;
};

// A message handed to listeners. Owns its content.
class IpcMessage {
 public:
  explicit IpcMessage(std::unique_ptr<IpcMessageContent> content) : content_(std::move(content)) {}
  // REQUIRES: the message has content.
  const IpcMessageContent& getContent() const { return *content_; }

 private:
  std::unique_ptr<IpcMessageContent> content_;
};

class IpcListener {
 public:
  virtual ~IpcListener() = default;
  // Called for each message of a definition the listener was added for. The result is the
  // listener's answer text (unused by the host).
  virtual std::string ipcMessageReceived(const Ipc::IpcMessageDefinition& definition, const IpcMessage& message) = 0;
};
