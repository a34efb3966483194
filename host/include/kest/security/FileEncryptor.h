// Produces the form of a file that goes into a result package. A default-constructed encryptor
// passes the file through: the archive then reads the source itself.
// Thread safety: immutable after construction; encrypt() is as thread-safe as its function.
#pragma once

#include <functional>

#include "kest/Export.h"
#include "kest/File.h"

namespace Security {

class KEST_EXPORT FileEncryptor {
 public:
  using Function = std::function<void(const File& source, const File& target)>;

  FileEncryptor() = default;
  explicit FileEncryptor(Function encrypt) : encrypt_(std::move(encrypt)) {}

  bool isPassThrough() const { return !encrypt_; }
  // Writes the encrypted form of `source` to `target` (a new file the caller owns).
  // Throws SecurityException on failure.
  // REQUIRES: !isPassThrough()
  void encrypt(const File& source, const File& target) const { encrypt_(source, target); }

 private:
  Function encrypt_;
};

}  // namespace Security
