// A text value, and the base of every scalar kind: integers, floats, booleans and byte fields
// carry their text form here too, so a caller that must tell the kinds apart visits the value
// (ValueVisitor). Thread safety: none; immutable after construction.
#pragma once

#include <string>

#include "values/BaseValue.h"

class StringValue : public BaseValue {
 public:
  // An invalid value with an empty text.
  StringValue();
  // A valid value holding `text` byte for byte.
  explicit StringValue(std::string text);
  ~StringValue() override;

  // The text as stored.
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  // The text part: for the scalar kinds, the text their value constructor set (a boolean holds
  // "1" or "0", an integer its decimal form).
  const std::string& getText() const { return text_; }

 protected:
  StringValue(bool valid, std::string text);

 private:
  std::string text_;
};
