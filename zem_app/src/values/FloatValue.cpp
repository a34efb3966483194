#include "values/FloatValue.h"

#include <cstdio>
#include <vector>

namespace {
// "%f" of a large double has hundreds of digits: size the buffer from a first measuring call.
std::string formatFloat(double value) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof(buffer), "%f", value);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(buffer)) return std::string(buffer, static_cast<size_t>(length));
  std::vector<char> large(static_cast<size_t>(length) + 1);
  std::snprintf(large.data(), large.size(), "%f", value);
  return std::string(large.data(), static_cast<size_t>(length));
}
}  // namespace

FloatValue::FloatValue() : value_(0.0) {}

FloatValue::FloatValue(double value) : StringValue(true, formatFloat(value)), value_(value) {}

FloatValue::~FloatValue() = default;

std::string FloatValue::str() const { return formatFloat(value_); }

void FloatValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
