// Helpers of the store tests: persisted value nodes and database documents as text.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kolconfig/Types.h"

namespace apptest {

namespace Types = Sarnet_Configuration::Types;

// A persisted node of kind T holding `value`.
template <class T, class V>
T node(void (T::*set)(V), V value) {
  T made;
  (made.*set)(value);
  return made;
}
inline Types::PersistedStringValue stringNode(const std::string& text) {
  return node<Types::PersistedStringValue, const std::string&>(&Types::PersistedStringValue::set_stringValue, text);
}
inline Types::PersistedIntegerValue integerNode(int32_t n) {
  return node(&Types::PersistedIntegerValue::set_integerValue, n);
}
inline Types::PersistedBooleanValue booleanNode(bool b) {
  return node(&Types::PersistedBooleanValue::set_booleanValue, b);
}
inline Types::PersistedListValue stringListNode(const std::vector<std::string>& items) {
  Types::PersistedListValue list;
  for (const auto& item : items) list.add_node_item<Types::PersistedStringValue>()->set_stringValue(item);
  return list;
}

// XML of a map entry, of values, and of a whole database whose top-level map holds `entries`.
inline std::string entryXml(const std::string& key, const std::string& valueXml) {
  return "<k:entry><k:key>" + key + "</k:key>" + valueXml + "</k:entry>";
}
inline std::string valueXml(const std::string& type, const std::string& field, const std::string& text) {
  return "<k:value xsi:type=\"k:" + type + "\"><k:" + field + ">" + text + "</k:" + field + "></k:value>";
}
inline std::string stringXml(const std::string& text) { return valueXml("PersistedStringValue", "stringValue", text); }
inline std::string integerXml(int n) { return valueXml("PersistedIntegerValue", "integerValue", std::to_string(n)); }
inline std::string mapXml(const std::string& entries) {
  return "<k:value xsi:type=\"k:PersistedMapValue\">" + entries + "</k:value>";
}
inline std::string databaseXml(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content "
         "xsi:type=\"k:PersistedDatabase\"><k:data>" +
         entries + "</k:data></k:content></k:config>\n";
}

// Names in a folder, hidden ones included, sorted: shows temporary files left behind.
inline std::vector<std::string> allNames(const std::string& folder) {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), &closedir);
  while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace apptest
