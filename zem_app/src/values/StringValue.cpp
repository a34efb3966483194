#include "values/StringValue.h"

#include <utility>

StringValue::StringValue() : StringValue(false, std::string()) {}

StringValue::StringValue(std::string text) : StringValue(true, std::move(text)) {}

StringValue::StringValue(bool valid, std::string text) : BaseValue(valid), text_(std::move(text)) {}

StringValue::~StringValue() = default;

std::string StringValue::str() const { return text_; }

void StringValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
