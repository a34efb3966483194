// A signed 32-bit integer value. Thread safety: none; immutable after construction.
#pragma once

#include <cstdint>
#include <string>

#include "values/StringValue.h"

class IntegerValue : public StringValue {
 public:
  // An invalid value: 0, empty text.
  IntegerValue();
  // A valid value; its text is `value` in decimal (printf "%d").
  explicit IntegerValue(int32_t value);
  ~IntegerValue() override;

  // The integer in decimal, also for an invalid value ("0").
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  int32_t getValue() const { return value_; }

 private:
  int32_t value_;
};
