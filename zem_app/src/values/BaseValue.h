// The root of the in-memory value family: every value knows whether it holds a real value and
// renders itself as text. Thread safety: a value is not synchronised; share it read-only or guard it.
#pragma once

#include <string>

#include "values/ValueVisitor.h"

class BaseValue {
 public:
  explicit BaseValue(bool valid) : valid_(valid) {}
  virtual ~BaseValue();

  // The value as text. An invalid value renders like a valid one of the same content
  // ("0", "0.000000", "false", "", "[]", "{}").
  virtual std::string str() const = 0;

  // Calls the visit of the value's most-derived kind.
  virtual void accept(ValueVisitor& visitor) const = 0;

  // True when the value was built from a real value (not default-constructed).
  bool isValid() const { return valid_; }

 protected:
  BaseValue(const BaseValue&) = default;
  BaseValue& operator=(const BaseValue&) = default;

 private:
  bool valid_;
};
