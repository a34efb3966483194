// XSDEnumException: a text or number that is not a value of a schema enumeration.
// Thread safety: immutable after construction.
#pragma once

#include <string>

#include "kolconfig/XPlusException.h"

class XSDEnumException : public XPlus::Exception {
 public:
  // `value` is the offending text (or number in decimal); what() is
  // "Unable to parse the enum value " + value.
  explicit XSDEnumException(const std::string& value);

  // The offending text as passed to the constructor.
  const std::string& getValue() const;

 private:
  std::string m_value;
};
