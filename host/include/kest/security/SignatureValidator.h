// Checks an extracted container entry before it is handed out. A default-constructed validator
// accepts every entry.
// Thread safety: immutable after construction; validate() is as thread-safe as its function.
// A ValidationContext is used by one extraction at a time.
#pragma once

#include <atomic>
#include <functional>
#include <string>

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

  SignatureValidator() = default;
  explicit SignatureValidator(Function validate) : validate_(std::move(validate)) {}

  bool acceptsAll() const { return !validate_; }
  // Returns normally when the entry extracted to `file` may be used.
  // Throws SecurityException with the reason when it is refused.
  void validate(const File& file, ValidationContext& context) const {
    if (validate_) validate_(file, context);
  }

 private:
  Function validate_;
};

}  // namespace Security
