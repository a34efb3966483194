// A 64-bit floating-point value, rendered in fixed notation with six decimals (printf "%f").
// Thread safety: none; immutable after construction.
#pragma once

#include <string>

#include "values/StringValue.h"

class FloatValue : public StringValue {
 public:
  // An invalid value: 0.0, empty text.
  FloatValue();
  // A valid value; its text is `value` as printf "%f" (1.5 gives "1.500000").
  explicit FloatValue(double value);
  ~FloatValue() override;

  // The number as printf "%f", also for an invalid value ("0.000000").
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  double getValue() const { return value_; }

 private:
  double value_;
};
