// A refusal by the security services: a signature that is missing or wrong, an unusable
// certificate or key, a refused decryption.
// Thread safety: an immutable value.
#pragma once

#include <stdexcept>
#include <string>

#include "kest/Export.h"

namespace Security {

class KEST_EXPORT SecurityException : public std::runtime_error {
 public:
  explicit SecurityException(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace Security
