// Checks an extracted container entry before it is handed out. A default-constructed validator
// accepts every entry.
// Thread safety: immutable after construction; validate() is as thread-safe as its function.
// A ValidationContext is used by one extraction at a time.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "kest/Export.h"
#include "kest/File.h"

namespace Security {

// What a validator learns about the entry it checks. Built by the archive for each extraction.
class KEST_EXPORT ValidationContext {
 public:
  // `noticeGiven` is the container's once-flag, shared by every handle on the same open
  // container; it must outlive the context. May be null (then every notice counts as first).
  ValidationContext(std::string containerPath, std::string entryName, std::atomic<bool>* noticeGiven)
      : containerPath_(std::move(containerPath)), entryName_(std::move(entryName)), noticeGiven_(noticeGiven) {}

  const std::string& getContainerPath() const { return containerPath_; }
  const std::string& getEntryName() const { return entryName_; }
  // True exactly once per open container: lets a validator give a notice (development mode)
  // once per container rather than once per entry.
  bool takeFirstNotice() { return noticeGiven_ == nullptr || !noticeGiven_->exchange(true); }

 private:
  std::string containerPath_;
  std::string entryName_;
  std::atomic<bool>* noticeGiven_;
};

class KEST_EXPORT SignatureValidator {
 public:
  using Function = std::function<void(const File& file, ValidationContext& context)>;
  // The same check over an entry held in memory, so that a small entry needs no file.
  using BytesFunction = std::function<void(std::string_view bytes, ValidationContext& context)>;

  SignatureValidator() = default;
  explicit SignatureValidator(Function validate, BytesFunction validateBytes = BytesFunction())
      : validate_(std::move(validate)), validateBytes_(std::move(validateBytes)) {}

  bool acceptsAll() const { return !validate_; }
  // True when validateBytes() checks an entry without a file: it accepts all, or has a check over bytes.
  bool checksBytes() const { return acceptsAll() || static_cast<bool>(validateBytes_); }
  // Returns normally when the entry extracted to `file` may be used.
  // Throws SecurityException with the reason when it is refused.
  void validate(const File& file, ValidationContext& context) const {
    if (validate_) validate_(file, context);
  }
  // As validate(), for the entry's whole content in `bytes`.
  // REQUIRES: checksBytes().
  void validateBytes(std::string_view bytes, ValidationContext& context) const {
    if (validateBytes_) validateBytes_(bytes, context);
  }

 private:
  Function validate_;
  BytesFunction validateBytes_;
};

}  // namespace Security
