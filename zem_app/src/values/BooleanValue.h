// A boolean value. Its text part holds the integer form ("1"/"0") while str() gives
// "true"/"false". Thread safety: none; immutable after construction.
#pragma once

#include <string>

#include "values/StringValue.h"

class BooleanValue : public StringValue {
 public:
  // An invalid value: false, empty text.
  BooleanValue();
  // A valid value; its text is "1" for true and "0" for false.
  explicit BooleanValue(bool value);
  ~BooleanValue() override;

  // "true" or "false", also for an invalid value ("false").
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  bool getValue() const { return value_; }

 private:
  bool value_;
};
