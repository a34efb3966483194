// Writes a database document to its file through the durable writer, serialising it into a reused
// buffer and keeping the text of every top-level entry until it is invalidated, so that a set
// serialises only the entry it changed and copies the rest.
// Thread safety: none; the owning store's mutex guards it.
#pragma once

#include <string>
#include <unordered_map>

#include "kolconfig/FileIo.h"
#include "kolconfig/Types.h"

class DatabaseWriter {
 public:
  // Durably replaces `path` with the whole document (the same text as xmldoc::saveFile writes).
  // `cached`: the store's own document, whose entry texts are reused and kept; false for a one-off
  // document. A document that cannot be serialised gives kFailed with the serialisation error and
  // leaves the disk untouched.
  xmldoc::ReplaceResult write(const Sarnet_Configuration::Types::PersistedDatabase& document, const std::string& path,
                              bool cached);

  // Forgets the text of `entry` (null: nothing). REQUIRES: called before the next write whenever
  // anything below that top-level entry changed.
  void invalidate(const Sarnet_Configuration::Types::PersistedMapEntry* entry) { entryTexts_.erase(entry); }
  // Forgets every text. REQUIRES: called when entries were removed or the document replaced.
  void clear() { entryTexts_.clear(); }

 private:
  bool serialise(const Sarnet_Configuration::Types::PersistedDatabase& document, bool cached);

  std::string buffer_;  // the last document's text; reused so that its memory stays paged in
  std::unordered_map<const Sarnet_Configuration::Types::PersistedMapEntry*, std::string> entryTexts_;
};
