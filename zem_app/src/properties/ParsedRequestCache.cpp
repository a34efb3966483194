#include "properties/ParsedRequestCache.h"

#include <utility>

#include "kolconfig/XmlDoc.h"

std::shared_ptr<const ParsedRequestCache::Request> ParsedRequestCache::parse(const std::string& text) {
  const bool keep = text.size() <= kMaxTextBytes;
  if (keep) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const Entry* entry = find(text)) return entry->request;
  }
  std::shared_ptr<const Request> request = xmldoc::parseString<Request>(text);
  if (!keep) return request;
  Entry replaced{text, request, false, {}, {}};
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() < kEntries) {
      entries_.push_back(std::move(replaced));
    } else {
      std::swap(entries_[next_], replaced);
      next_ = (next_ + 1) % kEntries;
    }
  }
  return request;  // the replaced entry's document goes here, outside the lock
}

bool ParsedRequestCache::findAnswer(const std::string& text, const std::string& value, std::string* answer) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Entry* entry = find(text);
  if (entry == nullptr || !entry->answered || entry->value != value) return false;
  *answer = entry->answer;
  return true;
}

void ParsedRequestCache::keepAnswer(const std::string& text, const std::string& value, const std::string& answer) {
  if (answer.size() > kMaxAnswerBytes) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  Entry* entry = find(text);
  if (entry == nullptr) return;
  entry->answered = true;
  entry->value = value;
  entry->answer = answer;
}

ParsedRequestCache::Entry* ParsedRequestCache::find(const std::string& text) {
  for (Entry& entry : entries_)
    if (entry.text == text) return &entry;
  return nullptr;
}
