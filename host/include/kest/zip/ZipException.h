// The failure of a zip archive operation: a numeric code and a text.
// Thread safety: an immutable value.
#pragma once

#include <stdexcept>
#include <string>

class ZipException : public std::runtime_error {
 public:
  // Codes. Callers rely on kInvalidDocument and kCannotExtract; the others tell the failures
  // apart in logs and tests.
  static constexpr int kInvalidDocument = -1;  // schema validation, parse or type failure
  static constexpr int kCannotExtract = -2;    // an XML item could not be extracted
  static constexpr int kCannotOpen = -3;       // missing file, not a zip, truncated, unreadable
  static constexpr int kEntryRefused = -4;     // unsafe name, symbolic link, folder, missing entry
  static constexpr int kSizeLimit = -5;        // declared size, disk-space ceiling or document size
  static constexpr int kReadFailure = -6;      // corrupt data (CRC, inflate) while reading an entry
  static constexpr int kWriteFailure = -7;     // writing a file or the archive failed
  static constexpr int kInvalidState = -8;     // null archive, closed archive, wrong mode

  ZipException(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int getCode() const { return code_; }

 private:
  int code_;
};
