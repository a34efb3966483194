// FileIo: the one durable file writer of the system and the table of POSIX calls behind it.
// Every owned file (database, configuration, settings, certificate slots, result files) is
// replaced through replaceFile: a temporary file in the target's folder, write, fsync of the file,
// rename over the target, fsync of the folder. A power cut leaves the old file or the new one.
// Thread safety: the functions are safe to call concurrently for different targets. The table is
// process-wide and read without a lock: change it only while no file is being written (tests).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace xmldoc {

// The system calls of every durable write, replaceable by tests to force a failure or to record
// the order of the steps.
struct FileIo {
  int (*makeTemp)(char* pathTemplate);                   // mkostemp(O_CLOEXEC)
  int (*setMode)(int fd, mode_t mode);                   // fchmod
  ssize_t (*write)(int fd, const void* data, size_t n);  // write
  int (*fsync)(int fd);                                  // fsync
  int (*closeFile)(int fd);                              // close
  int (*rename)(const char* from, const char* to);       // rename
  int (*openDirectory)(const char* path);                // open(path, O_RDONLY | O_DIRECTORY)
};

// The table in use; initially the real system calls.
FileIo& fileIo();

// The real system calls, for restoring the table.
FileIo defaultFileIo();

// Owns a file descriptor and closes it (through the table) on destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership: returns the descriptor (or -1) and leaves this holder empty.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now. Returns false when close() failed (a deferred write error shows up there).
  bool close();

 private:
  int fd_;
};

// Writes all `size` bytes, completing partial writes and retrying EINTR. Returns false with errno
// set on failure.
bool writeAll(int fd, const char* data, std::size_t size);

// Durable: both fsyncs. Volatile: no fsync (still atomic by rename), for files in temporary
// folders that a power cut may lose anyway.
enum class Durability { Durable, Volatile };

// What a replacement achieved. kReplacedNotFlushed: the target holds the new content but the folder
// could not be flushed, so the new name may not survive a power cut.
enum class ReplaceOutcome { kReplaced, kFailed, kReplacedNotFlushed };
struct ReplaceResult {
  ReplaceOutcome outcome = ReplaceOutcome::kFailed;
  std::string error;    // "cannot <step> <path>: <reason>" when not kReplaced
  int systemError = 0;  // errno of the failed step when not kReplaced
  bool ok() const { return outcome == ReplaceOutcome::kReplaced; }
};

// Mode argument meaning: an existing target keeps its mode, a new one gets 0644.
constexpr int kKeepMode = -1;

// Replaces `path` with what `fill` writes into the descriptor of the temporary file ("." + name +
// ".tmp" + 6 random characters, beside the target). `fill` returns false (errno set) on failure.
// On kFailed the temporary file is removed and the target is untouched.
ReplaceResult replaceFile(const std::string& path, const std::function<bool(int fd)>& fill,
                          Durability durability = Durability::Durable, int mode = kKeepMode);
// As above, writing `size` bytes from `data`.
ReplaceResult replaceFile(const std::string& path, const char* data, std::size_t size,
                          Durability durability = Durability::Durable, int mode = kKeepMode);

// Whether a commit may replace an existing target. kKeepExisting links instead of renaming, so a
// target that exists already stays and the commit fails with systemError EEXIST.
enum class Existing { kReplace, kKeepExisting };

// Commits a complete file written by someone else (a zip library): fsync of `temporary`, rename
// over `target`, fsync of the folder. On kFailed `temporary` is left for the caller to remove;
// on success it is gone (renamed, or unlinked after the link with kKeepExisting).
ReplaceResult commitFile(const std::string& temporary, const std::string& target,
                         Durability durability = Durability::Durable, Existing existing = Existing::kReplace);

// True for a name this writer gives its temporary files ("." + name + ".tmp" + suffix): what a
// write cut short by a crash leaves behind.
bool isTemporaryName(const std::string& name);

}  // namespace xmldoc
