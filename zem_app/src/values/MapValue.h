// A map from text keys to values, ordered by plain byte-wise key comparison (std::string's
// comparison compares bytes as unsigned char). Thread safety: none; guard a map that more than
// one thread changes.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "values/BaseValue.h"

class MapValue : public BaseValue {
 public:
  using Entries = std::map<std::string, std::shared_ptr<BaseValue>>;

  // An empty map, valid or not as `valid` says.
  explicit MapValue(bool valid);
  ~MapValue() override;

  // "{" + "key = value" for each entry in key order, joined by ", " + "}". Keys and texts are
  // not quoted. An empty pointer renders as an empty text ("{a = }").
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  const Entries& getEntries() const { return entries_; }
  Entries& getEntries() { return entries_; }
  // Sets the entry `key` to `value` (may be empty), replacing any previous value.
  void setEntry(const std::string& key, std::shared_ptr<BaseValue> value);

 private:
  Entries entries_;
};
