#include "database/KeyIndex.h"

namespace Types = Sarnet_Configuration::Types;

Types::PersistedValue* KeyIndex::find(const std::string& key, const Entries& entries) {
  Types::PersistedMapEntry* entry = findEntry(key, entries);
  return entry != nullptr ? entry->element_value() : nullptr;
}

Types::PersistedMapEntry* KeyIndex::findEntry(const std::string& key, const Entries& entries) {
  if (entries.size() < kMinimumEntries) {
    for (const auto& entry : entries) {
      if (entry && entry->get_key() == key) return entry.get();
    }
    return nullptr;
  }
  MapIndex& index = maps_[&entries];
  for (; index.indexed < entries.size(); ++index.indexed) {
    Types::PersistedMapEntry* entry = entries[index.indexed].get();
    // emplace keeps the earlier entry of a duplicate key: the first match wins, as in order.
    if (entry != nullptr) index.first.emplace(entry->get_key(), entry);
  }
  const auto found = index.first.find(key);
  return found == index.first.end() ? nullptr : found->second;
}
