// Constant-time lookup of the first entry with a given key in the maps of one database document.
// Thread safety: none; the owning store's mutex guards it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kolconfig/Types.h"

class KeyIndex {
 public:
  using Entries = std::vector<std::unique_ptr<Sarnet_Configuration::Types::PersistedMapEntry>>;

  // Maps with fewer entries are searched in order: cheaper than hashing.
  static constexpr size_t kMinimumEntries = 16;

  // The value of the first entry of `entries` (document order) whose key equals `key`; null when
  // there is none or that entry has no value. Entries appended since the last call are taken in.
  // REQUIRES: clear() was called since any entry of an indexed map was removed or a map was freed.
  Sarnet_Configuration::Types::PersistedValue* find(const std::string& key, const Entries& entries);
  // The first entry itself (null when none), as find.
  Sarnet_Configuration::Types::PersistedMapEntry* findEntry(const std::string& key, const Entries& entries);

  // Forgets every map.
  void clear() { maps_.clear(); }

 private:
  struct MapIndex {
    size_t indexed = 0;  // entries[0, indexed) are in `first`
    std::unordered_map<std::string_view, Sarnet_Configuration::Types::PersistedMapEntry*> first;
  };
  std::unordered_map<const Entries*, MapIndex> maps_;
};
