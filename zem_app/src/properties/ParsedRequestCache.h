// The property request documents read last, kept by their text, so that a client asking the same
// thing again is not parsed again: a parsed request depends on its text alone, never on the map.
// Beside each request, the last answer written for it and the value text it was written from: an
// answer depends on nothing else, so the same value answers with the same bytes.
// Thread safety: every method may be called from any thread; mutex_ guards entries_ and next_, and
// is never held while a document is parsed or destroyed.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kolconfig/Types.h"

class ParsedRequestCache {
 public:
  using Request = Sarnet_Configuration::Types::IpcMessagePropertyRequest;

  // Texts longer than this are parsed every time and never kept, so the cache holds at most
  // kEntries * kMaxTextBytes of text plus the documents read from it.
  static constexpr size_t kMaxTextBytes = 2048;
  static constexpr size_t kEntries = 16;
  // Longer answers are written every time and never kept.
  static constexpr size_t kMaxAnswerBytes = 4096;

  // The request that `text` holds, shared with the caller (never modified): the one kept when the
  // same text was read before, otherwise parsed now (and kept, replacing the oldest entry).
  // Throws as xmldoc::parseString does; nothing is kept then.
  std::shared_ptr<const Request> parse(const std::string& text);

  // Sets `answer` to the answer kept for the request `text` when it was written from `value`, and
  // returns true; false, nothing set, otherwise.
  bool findAnswer(const std::string& text, const std::string& value, std::string* answer);
  // Keeps `answer`, written from `value`, for the request `text` while that request is kept (and
  // the answer is at most kMaxAnswerBytes).
  void keepAnswer(const std::string& text, const std::string& value, const std::string& answer);

 private:
  struct Entry {
    std::string text;
    std::shared_ptr<const Request> request;
    bool answered = false;  // `answer` was written from `value`
    std::string value;
    std::string answer;
  };

  // The entry kept for `text`; null when there is none. REQUIRES: mutex_ held.
  Entry* find(const std::string& text);

  std::mutex mutex_;
  std::vector<Entry> entries_;  // at most kEntries; guarded by mutex_
  size_t next_ = 0;             // the entry replaced next once entries_ is full; guarded by mutex_
};
