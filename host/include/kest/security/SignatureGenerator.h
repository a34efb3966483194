// Signs a file for a result package. A default-constructed generator signs nothing (empty
// signature): the unit then writes unsigned packages.
// Thread safety: immutable after construction; sign() is as thread-safe as its function.
#pragma once

#include <functional>
#include <string>

#include "kest/Export.h"
#include "kest/File.h"

namespace Security {

class KEST_EXPORT SignatureGenerator {
 public:
  using Function = std::function<std::string(const File& file)>;

  SignatureGenerator() = default;
  explicit SignatureGenerator(Function sign) : sign_(std::move(sign)) {}

  bool isEmpty() const { return !sign_; }
  // Returns the Base64 signature of the file's bytes, or an empty text when nothing signs
  // (no generator, no device key, or a failure that the generator logged). Never throws.
  std::string sign(const File& file) const { return sign_ ? sign_(file) : std::string(); }

 private:
  Function sign_;
};

}  // namespace Security
