// XPlus::Exception: the one error type of every document read, write and parse failure.
// Thread safety: immutable after construction; copies share the context and are cheap.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace XPlus {

class Exception : public std::runtime_error {
 public:
  // `message` is the text without context, e.g. "Parse error: ..." or "IO error: ...".
  explicit Exception(const std::string& message);

  // what() is `message`, followed by " (expected: X, actual: Y)" when `context` holds both
  // the keys "expected" and "actual".
  Exception(const std::string& message, std::map<std::string, std::string> context);

  // Key/value details of the failure (e.g. "expected", "actual"); empty when there are none.
  const std::map<std::string, std::string>& getContext() const;

  // The message without the context suffix.
  const std::string& getMessage() const;

 private:
  struct Details {
    std::string message;
    std::map<std::string, std::string> context;
  };
  std::shared_ptr<const Details> m_details;  // shared so that copying never throws
};

}  // namespace XPlus
