// What the parts of ZipArchive share (ZipArchive.cpp: open and close; ZipArchiveReading.cpp;
// ZipArchiveWriting.cpp): the state behind the copies of one archive, the owner of a libzip
// handle, and the checks and texts every part uses. Internal to KestCommon.
// Thread safety: State::mutex guards the members marked so; the functions keep no state.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kest/seams/ZipLibOps.h"
#include "kest/security/SignatureGenerator.h"
#include "kest/zip/ZipArchive.h"

namespace zipdetail {

struct ZipDeleter {
  void operator()(zip_t* archive) const { zipLibOps().discard(archive); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDeleter>;

// Removes a file on destruction unless released: a temporary file never outlives a failure.
class FileRemover {
 public:
  explicit FileRemover(std::string path) : path_(std::move(path)) {}
  ~FileRemover() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;
  void release() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace zipdetail

struct ZipArchive::State {
  enum class Mode { Read, Write, Closed };

  State(std::string archivePath, Mode initialMode) : path(std::move(archivePath)), mode(initialMode) {}

  const std::string path;
  std::string folder;     // read mode: the folder the file is opened in; set once
  std::string name;       // read mode: the file's name in `folder`; set once
  struct stat identity;   // read mode: device and inode of the opened file; set once
  std::string writePath;  // write mode: temporary name; set once
  std::shared_ptr<const XmlValidatorLibXml2> schemaValidator;  // read mode; set once before sharing
  std::atomic<uint64_t> diskSpaceCeiling{kDefaultDiskSpaceCeiling};
  std::atomic<uint64_t> maxDocumentSize{kDefaultMaxDocumentSize};
  std::atomic<bool> noticeGiven{false};  // the container's once-flag for validators

  mutable std::mutex mutex;
  Mode mode;                            // guarded by mutex
  zipdetail::ZipPtr zip;                // guarded by mutex; null in read mode while suspended
  std::vector<std::string> addedNames;  // guarded by mutex (write mode)
  std::vector<uint64_t> addedSizes;     // guarded by mutex (write mode), one per added name
  std::unique_ptr<TempFile> staging;    // guarded by mutex (write mode, encrypted copies)
  unsigned stagingCounter = 0;          // guarded by mutex
};

namespace zipdetail {

// The text of the current errno.
std::string errnoText();
// The text of a libzip error code.
std::string libzipErrorText(int code);
// The text of the last error of `archive`; "unknown libzip error" when libzip has none.
std::string archiveErrorText(zip_t* archive);
// A name from a container as exception texts and log lines show it: shortened, so that a hostile
// name (up to 64 KiB in a zip, more in a document) never makes a huge string on the way to a log.
std::string shown(const std::string& name);
// Throws ZipException(kEntryRefused) "Refused " + what + ..." when `name` may not be used as a
// relative path inside a folder (empty, absolute, a folder, holding ".." or a NUL byte).
void requireSafeName(const std::string& name, const std::string& what);

// Returns *state. Throws ZipException(kInvalidState) for the null archive.
ZipArchive::State& requireState(const std::shared_ptr<ZipArchive::State>& state);
// Throws ZipException(kInvalidState) "Cannot " + operation + ..." unless the archive is open for
// reading (`reading`) or for writing.
// REQUIRES: state.mutex held.
void requireMode(const ZipArchive::State& state, bool reading, const std::string& operation);
// The libzip handle of an archive in read mode, reopened when the archive was suspended. Throws
// ZipException(kCannotOpen) when the file cannot be reopened or was replaced.
// REQUIRES: state.mutex held; state in read mode.
zip_t* readHandle(ZipArchive::State& state);

// The writing half of ZipArchive::close(): writes, signs and commits the archive; the handle and
// the staging copies are gone afterwards in every case. Throws ZipException(kWriteFailure).
// REQUIRES: state.mutex held; state was in write mode.
void finishWriting(ZipArchive::State& state, const Security::SignatureGenerator& generator);

}  // namespace zipdetail
