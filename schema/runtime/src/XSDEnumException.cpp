#include "kolconfig/XSDEnumException.h"

XSDEnumException::XSDEnumException(const std::string& value)
    : XPlus::Exception("Unable to parse the enum value " + value), m_value(value) {}

const std::string& XSDEnumException::getValue() const { return m_value; }
