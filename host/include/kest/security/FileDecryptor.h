// Turns an extracted container entry into its plain form, in place. A default-constructed
// decryptor passes the file through unchanged (containers of this unit are not encrypted).
// Thread safety: immutable after construction; decrypt() is as thread-safe as its function.
#pragma once

#include <functional>

#include "kest/Export.h"
#include "kest/File.h"

namespace Security {

class KEST_EXPORT FileDecryptor {
 public:
  using Function = std::function<void(const File& file)>;

  FileDecryptor() = default;
  explicit FileDecryptor(Function decrypt) : decrypt_(std::move(decrypt)) {}

  bool isPassThrough() const { return !decrypt_; }
  // Rewrites `file` with its plain content; does nothing when pass-through.
  // Throws SecurityException when the content is refused.
  void decrypt(const File& file) const {
    if (decrypt_) decrypt_(file);
  }

 private:
  Function decrypt_;
};

}  // namespace Security
