#include "values/ByteFieldValue.h"

ByteFieldValue::ByteFieldValue() = default;

ByteFieldValue::ByteFieldValue(const std::string& byteField) : StringValue(true, byteField), byteField_(byteField) {}

ByteFieldValue::~ByteFieldValue() = default;

std::string ByteFieldValue::str() const { return byteField_; }

void ByteFieldValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
