// The exception that property setters throw with a message for their caller to log.
// Thread safety: immutable after construction.
#pragma once

#include <exception>
#include <string>
#include <utility>

class PropertyException : public std::exception {
 public:
  explicit PropertyException(std::string message) : message_(std::move(message)) {}
  // The message given at construction.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
