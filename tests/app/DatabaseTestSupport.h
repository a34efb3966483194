// Helpers of the store tests: persisted value nodes, database documents as text, and a watch of
// the store folder that tells how often the database file was replaced or written in place.
#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kest/File.h"
#include "kolconfig/Types.h"

namespace apptest {

namespace Types = Sarnet_Configuration::Types;

inline Types::PersistedStringValue stringNode(const std::string& text) {
  Types::PersistedStringValue node;
  node.set_stringValue(text);
  return node;
}
inline Types::PersistedIntegerValue integerNode(int32_t value) {
  Types::PersistedIntegerValue node;
  node.set_integerValue(value);
  return node;
}
inline Types::PersistedBooleanValue booleanNode(bool value) {
  Types::PersistedBooleanValue node;
  node.set_booleanValue(value);
  return node;
}
inline Types::PersistedFloatValue floatNode(double value) {
  Types::PersistedFloatValue node;
  node.set_floatValue(value);
  return node;
}
inline Types::PersistedByteFieldValue byteFieldNode(const std::string& text) {
  Types::PersistedByteFieldValue node;
  node.set_byteFieldValue(text);
  return node;
}
inline Types::PersistedListValue stringListNode(const std::vector<std::string>& items) {
  Types::PersistedListValue node;
  for (const auto& item : items) node.add_node_item<Types::PersistedStringValue>()->set_stringValue(item);
  return node;
}

// XML of one map entry and of the values (element names as the schema has them).
inline std::string entryXml(const std::string& key, const std::string& valueXml) {
  return "<k:entry><k:key>" + key + "</k:key>" + valueXml + "</k:entry>";
}
inline std::string stringXml(const std::string& text) {
  return "<k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>" + text + "</k:stringValue></k:value>";
}
inline std::string integerXml(int value) {
  return "<k:value xsi:type=\"k:PersistedIntegerValue\"><k:integerValue>" + std::to_string(value) +
         "</k:integerValue></k:value>";
}
inline std::string mapXml(const std::string& entries) {
  return "<k:value xsi:type=\"k:PersistedMapValue\">" + entries + "</k:value>";
}
// A whole database document whose top-level map holds `entries`.
inline std::string databaseXml(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<k:content xsi:type=\"k:PersistedDatabase\"><k:data>" +
         entries + "</k:data></k:content></k:config>\n";
}

// Records, from construction on, the file events of one folder.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE);
  }
  ~FolderWatch() {
    if (fd_ >= 0) close(fd_);
  }
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Counts of the events seen since the last call: renames onto `name` and in-place writes of it.
  struct Counts {
    int renamedOnto = 0;
    int writtenInPlace = 0;
  };
  Counts take(const std::string& name) {
    Counts counts;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t length = read(fd_, buffer, sizeof(buffer));
      if (length <= 0) break;
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        const std::string eventName = event->len > 0 ? std::string(event->name) : std::string();
        if (eventName == name && (event->mask & IN_MOVED_TO)) ++counts.renamedOnto;
        if (eventName == name && (event->mask & IN_CLOSE_WRITE)) ++counts.writtenInPlace;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return counts;
  }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// File names in a folder (sorted), for checking that no temporary file is left behind.
inline std::vector<std::string> fileNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const File& file : File(folder).listFiles()) names.push_back(file.getName());
  return names;
}

}  // namespace apptest
