// The failure of a zip archive operation: a numeric code, a text and the system error behind it.
// Thread safety: an immutable value.
#pragma once

#include <stdexcept>
#include <string>

#include "kest/Export.h"

class KEST_EXPORT ZipException : public std::runtime_error {
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

  // `systemError` is the errno behind the failure, 0 when none is known.
  ZipException(int code, const std::string& text, int systemError = 0)
      : std::runtime_error(text), code_(code), systemError_(systemError) {}
  int getCode() const { return code_; }
  int getSystemError() const { return systemError_; }
  // True when the failure came from a shortage that passes (no free descriptor, no free space):
  // the same operation may succeed later.
  bool isResourceShortage() const;
  // True when the failure says nothing about the archive itself: a passing shortage, or an I/O
  // error of the medium (EIO). A container that failed so is worth another try.
  bool isTransient() const;
  // True for the errno values of a passing shortage of the unit: EMFILE, ENFILE, ENOSPC, EDQUOT.
  static bool isShortageError(int error);

 private:
  int code_;
  int systemError_;
};
