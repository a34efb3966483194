#include "values/IntegerValue.h"

#include <cstdio>

namespace {
std::string formatInteger(int32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(value));
  return buffer;
}
}  // namespace

IntegerValue::IntegerValue() : value_(0) {}

IntegerValue::IntegerValue(int32_t value) : StringValue(true, formatInteger(value)), value_(value) {}

IntegerValue::~IntegerValue() = default;

std::string IntegerValue::str() const { return formatInteger(value_); }

void IntegerValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
