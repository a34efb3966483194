#include "kolconfig/XPlusException.h"

#include <utility>

namespace XPlus {
namespace {

std::string composeWhat(const std::string& message, const std::map<std::string, std::string>& context) {
  const auto expected = context.find("expected");
  const auto actual = context.find("actual");
  if (expected == context.end() || actual == context.end()) {
    return message;
  }
  return message + " (expected: " + expected->second + ", actual: " + actual->second + ")";
}

}  // namespace

Exception::Exception(const std::string& message)
    : std::runtime_error(message), m_details(std::make_shared<const Details>(Details{message, {}})) {}

Exception::Exception(const std::string& message, std::map<std::string, std::string> context)
    : std::runtime_error(composeWhat(message, context)),
      m_details(std::make_shared<const Details>(Details{message, std::move(context)})) {}

const std::map<std::string, std::string>& Exception::getContext() const { return m_details->context; }

const std::string& Exception::getMessage() const { return m_details->message; }

}  // namespace XPlus
