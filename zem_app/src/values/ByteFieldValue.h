// A byte field, kept in its text form exactly as received (no decoding).
// Thread safety: none; immutable after construction.
#pragma once

#include <string>

#include "values/StringValue.h"

class ByteFieldValue : public StringValue {
 public:
  // An invalid value with an empty byte field.
  ByteFieldValue();
  // A valid value; both the text and the byte field are `byteField` unchanged.
  explicit ByteFieldValue(const std::string& byteField);
  ~ByteFieldValue() override;

  // The byte-field text as stored.
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  const std::string& getByteField() const { return byteField_; }

 private:
  std::string byteField_;
};
