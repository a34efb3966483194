#include "values/BooleanValue.h"

BooleanValue::BooleanValue() : value_(false) {}

BooleanValue::BooleanValue(bool value) : StringValue(true, value ? "1" : "0"), value_(value) {}

BooleanValue::~BooleanValue() = default;

std::string BooleanValue::str() const { return value_ ? "true" : "false"; }

void BooleanValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
