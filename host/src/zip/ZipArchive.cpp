// ZipArchive on libzip. Every libzip call goes through zipLibOps() and every handle is owned by a
// unique_ptr from the moment it is obtained. Files are written to a temporary name in their final
// folder and committed into place only once complete, by the one durable writer (xmldoc::commitFile).
#include "kest/zip/ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/seams/ZipLibOps.h"
#include "kolconfig/FileIo.h"

namespace {

struct ZipDeleter {
  void operator()(zip_t* archive) const { zipLibOps().discard(archive); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDeleter>;

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zipLibOps().fclose(file); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

struct ZipSourceFree {
  void operator()(zip_source_t* source) const { zipLibOps().sourceFree(source); }
};
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFree>;

struct StdioCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using StdioPtr = std::unique_ptr<FILE, StdioCloser>;

// The durable writer's descriptor holder and write loop: one of each in the system.
using xmldoc::UniqueFd;
using xmldoc::writeAll;

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

std::string errnoText() { return std::strerror(errno); }

// Deflate level of written entries (1 = fastest).
constexpr zip_uint32_t kCompressionLevel = 1;

std::string libzipErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

std::string archiveErrorText(zip_t* archive) {
  const char* text = zipLibOps().strerror(archive);
  return text == nullptr ? std::string("unknown libzip error") : std::string(text);
}

// A name from a container as exception texts and log lines show it: at most kShownNameBytes
// bytes, so that a hostile name (up to 64 KiB in a zip, more in a document) never makes a huge
// temporary string on the way to the log.
constexpr size_t kShownNameBytes = 256;
std::string shown(const std::string& name) { return ApplicationLogger::shortened(name, kShownNameBytes); }

// Splits on '/' and '\\' (a name written on another system may use either).
std::vector<std::string> nameComponents(const std::string& name) {
  std::vector<std::string> parts;
  std::string current;
  for (const char c : name) {
    if (c == '/' || c == '\\') {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(current);
  return parts;
}

// Why a name may not be used as a relative path inside a folder; empty when it may.
std::string unsafeNameReason(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name.find('\0') != std::string::npos) return "name holds a NUL byte";
  if (name.front() == '/' || name.front() == '\\') return "absolute name";
  if (name.size() >= 2 && name[1] == ':') return "absolute name";
  if (name.back() == '/' || name.back() == '\\') return "names a folder";
  for (const std::string& part : nameComponents(name)) {
    if (part == "..") return "name holds \"..\"";
  }
  return std::string();
}

void requireSafeName(const std::string& name, const std::string& what) {
  const std::string reason = unsafeNameReason(name);
  if (!reason.empty()) {
    throw ZipException(ZipException::kEntryRefused, "Refused " + what + " \"" + shown(name) + "\": " + reason);
  }
}

// Free bytes for an unprivileged writer on the file system holding `folder`.
uint64_t availableBytes(const std::string& folder) {
  struct statvfs st;
  if (::statvfs(folder.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

std::string realPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::string();
  return std::string(buffer);
}

bool isWithin(const std::string& root, const std::string& path) {
  if (path == root) return true;
  const std::string prefix = root == "/" ? root : root + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

std::string temporarySibling(const std::string& path) {
  static std::atomic<unsigned long> counter{0};
  const File file(path);
  return File(file.getParentFile(),
              "." + file.getName() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)))
      .getPath();
}

}  // namespace

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
  ZipPtr zip;                           // guarded by mutex; null in read mode while suspended
  std::vector<std::string> addedNames;  // guarded by mutex (write mode)
  std::vector<uint64_t> addedSizes;     // guarded by mutex (write mode), one per added name
  std::unique_ptr<TempFile> staging;    // guarded by mutex (write mode, encrypted copies)
  unsigned stagingCounter = 0;          // guarded by mutex
};

namespace {

ZipArchive::State& requireState(const std::shared_ptr<ZipArchive::State>& state) {
  if (state == nullptr) throw ZipException(ZipException::kInvalidState, "Operation on a null archive");
  return *state;
}

// Opens `name` inside `folder` as a zip for reading, never following a symbolic link at `name`
// or at the folder's own name, and reading nothing but a regular file. With `expected`, the file must be that one
// (device and inode). Returns the handle (which owns the descriptor) and fills `identity`.
ZipPtr openZipAt(const std::string& folder, const std::string& name, const std::string& path,
                 const struct stat* expected, struct stat* identity) {
  const auto fail = [&path](const std::string& reason, int error) {
    return ZipException(ZipException::kCannotOpen, "Cannot open archive " + path + ": " + reason, error);
  };
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    throw fail("not a file name", 0);
  }
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) {
    const int error = errno;
    throw fail(std::strerror(error), error);
  }
  struct stat st;
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    throw fail(std::strerror(error), error);
  }
  if (!S_ISREG(st.st_mode)) throw fail("not a regular file", 0);
  UniqueFd fd(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    throw fail(std::strerror(error), error);
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw fail("not a regular file", 0);
  if (expected != nullptr && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino)) {
    throw fail("the file was replaced since it was opened", 0);
  }
  int errorCode = 0;
  ZipPtr zip(zipLibOps().fdopen(fd.get(), ZIP_RDONLY | ZIP_CHECKCONS, &errorCode));
  if (zip == nullptr) throw fail(libzipErrorText(errorCode), errorCode == ZIP_ER_OPEN ? errno : 0);
  (void)fd.release();  // owned by the handle now
  *identity = st;
  return zip;
}

// The libzip handle of an archive in read mode, reopened when the archive was suspended.
// REQUIRES: state.mutex held; state in read mode.
zip_t* readHandle(ZipArchive::State& state) {
  if (state.zip == nullptr) {
    struct stat identity;
    state.zip = openZipAt(state.folder, state.name, state.path, &state.identity, &identity);
  }
  return state.zip.get();
}

}  // namespace

bool ZipException::isShortageError(int error) {
  return error == EMFILE || error == ENFILE || error == ENOSPC || error == EDQUOT;
}

bool ZipException::isResourceShortage() const { return isShortageError(systemError_); }

bool ZipException::isTransient() const { return isResourceShortage() || systemError_ == EIO; }

ZipArchive ZipArchive::openForReading(const std::string& path,
                                      std::shared_ptr<const XmlValidatorLibXml2> schemaValidator,
                                      uint64_t diskSpaceCeiling) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return openInFolder(".", path, std::move(schemaValidator), diskSpaceCeiling);
  return openInFolder(slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1), std::move(schemaValidator),
                      diskSpaceCeiling);
}

ZipArchive ZipArchive::openInFolder(const std::string& folder, const std::string& name,
                                    std::shared_ptr<const XmlValidatorLibXml2> schemaValidator,
                                    uint64_t diskSpaceCeiling) {
  const std::string path = folder == "/" ? "/" + name : folder + "/" + name;
  auto state = std::make_shared<State>(path, State::Mode::Read);
  state->folder = folder;
  state->name = name;
  state->zip = openZipAt(folder, name, path, nullptr, &state->identity);
  state->schemaValidator =
      schemaValidator != nullptr ? std::move(schemaValidator) : std::make_shared<const XmlValidatorLibXml2>();
  state->diskSpaceCeiling = diskSpaceCeiling;
  return ZipArchive(std::move(state));
}

void ZipArchive::suspend() {
  if (state_ == nullptr) return;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->mode == State::Mode::Read) state_->zip.reset();
}

bool ZipArchive::holdsHandle() const {
  if (state_ == nullptr) return false;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mode == State::Mode::Read && state_->zip != nullptr;
}

bool ZipArchive::isSameFile(const struct stat& st) const {
  if (state_ == nullptr || state_->name.empty()) return false;
  return st.st_dev == state_->identity.st_dev && st.st_ino == state_->identity.st_ino;
}

ZipArchive ZipArchive::create(const std::string& path) {
  const File parent = File(path).getParentFile();
  const std::string folder = parent.getPath().empty() ? "." : parent.getPath();
  if (File(path).getName().empty() || ::access(folder.c_str(), W_OK | X_OK) != 0) {
    const int error = errno;
    throw ZipException(
        ZipException::kCannotOpen,
        "Cannot create archive " + path + ": folder " + folder + " is not writable (" + errnoText() + ")", error);
  }
  auto state = std::make_shared<State>(path, State::Mode::Write);
  state->writePath = temporarySibling(path);
  int errorCode = 0;
  state->zip.reset(zipLibOps().open(state->writePath.c_str(), ZIP_CREATE | ZIP_EXCL, &errorCode));
  if (state->zip == nullptr) {
    throw ZipException(ZipException::kCannotOpen, "Cannot create archive " + path + ": " + libzipErrorText(errorCode));
  }
  return ZipArchive(std::move(state));
}

bool ZipArchive::isOpen() const {
  if (state_ == nullptr) return false;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mode != State::Mode::Closed;
}

bool ZipArchive::isWritable() const {
  if (state_ == nullptr) return false;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mode == State::Mode::Write;
}

const std::string& ZipArchive::getPath() const {
  static const std::string empty;
  return state_ == nullptr ? empty : state_->path;
}

void ZipArchive::setDiskSpaceCeiling(uint64_t bytes) { requireState(state_).diskSpaceCeiling = bytes; }
uint64_t ZipArchive::getDiskSpaceCeiling() const { return requireState(state_).diskSpaceCeiling; }
void ZipArchive::setMaxDocumentSize(uint64_t bytes) { requireState(state_).maxDocumentSize = bytes; }
uint64_t ZipArchive::getMaxDocumentSize() const { return requireState(state_).maxDocumentSize; }

namespace {

// REQUIRES: state.mutex held.
void requireMode(const ZipArchive::State& state, bool reading, const std::string& operation);

}  // namespace

std::vector<std::string> ZipArchive::getEntryNames() const {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  if (state.mode == State::Mode::Write) return state.addedNames;
  if (state.mode != State::Mode::Read) {
    throw ZipException(ZipException::kInvalidState, "Archive " + state.path + " is closed");
  }
  std::vector<std::string> names;
  zip_t* const zip = readHandle(state);
  const zip_int64_t count = zipLibOps().getNumEntries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zipLibOps().getName(zip, static_cast<zip_uint64_t>(i), 0);
    if (name != nullptr) names.emplace_back(name);
  }
  return names;
}

bool ZipArchive::hasEntry(const std::string& entryName) const {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  if (state.mode == State::Mode::Write) {
    return std::find(state.addedNames.begin(), state.addedNames.end(), entryName) != state.addedNames.end();
  }
  if (state.mode != State::Mode::Read) return false;
  return zipLibOps().nameLocate(readHandle(state), entryName.c_str(), 0) >= 0;
}

uint64_t ZipArchive::getUncompressedSize() const {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  if (state.mode == State::Mode::Write) {
    uint64_t total = 0;
    for (const uint64_t size : state.addedSizes) total += size;
    return total;
  }
  if (state.mode != State::Mode::Read) {
    throw ZipException(ZipException::kInvalidState, "Archive " + state.path + " is closed");
  }
  uint64_t total = 0;
  zip_t* const zip = readHandle(state);
  const zip_int64_t count = zipLibOps().getNumEntries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zipLibOps().statIndex(zip, static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE) != 0) {
      total += st.size;
    }
  }
  return total;
}

uint64_t ZipArchive::getUncompressedSize(const std::string& entryName) const {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, true, "read an entry size");
  zip_t* const zip = readHandle(state);
  const zip_int64_t index = zipLibOps().nameLocate(zip, entryName.c_str(), 0);
  zip_stat_t st;
  if (index < 0 || zipLibOps().statIndex(zip, static_cast<zip_uint64_t>(index), 0, &st) != 0 ||
      (st.valid & ZIP_STAT_SIZE) == 0) {
    throw ZipException(ZipException::kEntryRefused, "No entry " + shown(entryName) + " in archive " + state.path);
  }
  return st.size;
}

namespace {

void requireMode(const ZipArchive::State& state, bool reading, const std::string& operation) {
  const auto wanted = reading ? ZipArchive::State::Mode::Read : ZipArchive::State::Mode::Write;
  if (state.mode == wanted) return;
  if (state.mode == ZipArchive::State::Mode::Closed) {
    throw ZipException(ZipException::kInvalidState, "Cannot " + operation + ": archive " + state.path + " is closed");
  }
  throw ZipException(ZipException::kInvalidState, "Cannot " + operation + ": archive " + state.path + " is open for " +
                                                      (reading ? "writing" : "reading"));
}

// Extracts one entry to `folder`/`targetName` under `limit` bytes. The body of extract().
// `durable` flushes the file and its folder to the device; a document read from a temporary
// folder that is removed right after does not need it (and a flush costs milliseconds per job).
// REQUIRES: state.mutex held; state in read mode.
File extractLocked(ZipArchive::State& state, const std::string& entryName, const File& folder,
                   const std::string& targetName, const Security::FileDecryptor& decryptor,
                   const Security::SignatureValidator& validator, uint64_t limit, bool durable) {
  requireSafeName(entryName, "entry");
  requireSafeName(targetName, "target name");
  zip_t* const zip = readHandle(state);
  const zip_int64_t found = zipLibOps().nameLocate(zip, entryName.c_str(), 0);
  if (found < 0) {
    throw ZipException(ZipException::kEntryRefused, "No entry " + shown(entryName) + " in archive " + state.path);
  }
  const auto index = static_cast<zip_uint64_t>(found);

  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zipLibOps().fileGetExternalAttributes(zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
    const mode_t type = static_cast<mode_t>(attributes >> 16) & S_IFMT;
    if (type == S_IFLNK) {
      throw ZipException(ZipException::kEntryRefused, "Refused entry \"" + shown(entryName) + "\": symbolic link");
    }
    if (type != 0 && type != S_IFREG) {
      throw ZipException(ZipException::kEntryRefused, "Refused entry \"" + shown(entryName) + "\": not a regular file");
    }
  }
  zip_stat_t st;
  if (zipLibOps().statIndex(zip, index, 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) {
    throw ZipException(ZipException::kReadFailure,
                       "Cannot read entry " + shown(entryName) + ": " + archiveErrorText(zip));
  }
  const uint64_t declared = st.size;
  if (entryName == DevicePaths::kIndexFileName && declared > ZipArchive::kMaxIndexSize) {
    throw ZipException(ZipException::kSizeLimit, "Entry " + shown(entryName) + " declares " + std::to_string(declared) +
                                                     " bytes, more than the " +
                                                     std::to_string(ZipArchive::kMaxIndexSize) +
                                                     " bytes allowed for a task description");
  }

  // The target's folder must exist and stay inside the extraction folder once links are resolved.
  File target(folder, targetName);
  const File targetFolder = target.getParentFile();
  if (!folder.mkdirs() || !targetFolder.mkdirs()) {
    throw ZipException(ZipException::kWriteFailure,
                       "Cannot create folder " + targetFolder.getPath() + ": " + errnoText());
  }
  const std::string root = realPath(folder.getPath());
  const std::string resolved = realPath(targetFolder.getPath());
  if (root.empty() || resolved.empty() || !isWithin(root, resolved)) {
    throw ZipException(ZipException::kEntryRefused,
                       "Refused target name \"" + shown(targetName) + "\": resolves outside " + folder.getPath());
  }

  const uint64_t available = availableBytes(resolved);
  const uint64_t allowed = std::min(limit, available);
  if (declared > allowed) {
    throw ZipException(ZipException::kSizeLimit, "Entry " + shown(entryName) + " declares " + std::to_string(declared) +
                                                     " bytes, more than the " + std::to_string(allowed) +
                                                     " bytes allowed");
  }

  ZipFilePtr input(zipLibOps().fopenIndex(zip, index, 0));
  if (input == nullptr) {
    throw ZipException(ZipException::kReadFailure,
                       "Cannot read entry " + shown(entryName) + ": " + archiveErrorText(zip));
  }

  std::string pattern = File(resolved, "." + target.getName() + ".part-XXXXXX").getPath();
  UniqueFd output(::mkostemp(&pattern[0], O_CLOEXEC));
  if (output.get() < 0) {
    throw ZipException(ZipException::kWriteFailure, "Cannot create a file in " + resolved + ": " + errnoText(), errno);
  }
  FileRemover removePart(pattern);
  ::fchmod(output.get(), 0644);

  std::vector<char> buffer(64 * 1024);
  uint64_t total = 0;
  for (;;) {
    const zip_int64_t n = zipLibOps().fread(input.get(), buffer.data(), buffer.size());
    if (n < 0) {
      const char* reason = zipLibOps().fileStrerror(input.get());
      throw ZipException(ZipException::kReadFailure,
                         "Cannot read entry " + shown(entryName) + ": " + (reason != nullptr ? reason : "read error"));
    }
    if (n == 0) break;
    const auto count = static_cast<uint64_t>(n);
    if (total + count > declared) {
      throw ZipException(ZipException::kSizeLimit, "Entry " + shown(entryName) + " expands past its declared size of " +
                                                       std::to_string(declared) + " bytes");
    }
    if (total + count > allowed) {
      throw ZipException(ZipException::kSizeLimit, "Entry " + shown(entryName) + " exceeds the disk-space ceiling of " +
                                                       std::to_string(allowed) + " bytes");
    }
    if (!writeAll(output.get(), buffer.data(), static_cast<size_t>(count))) {
      throw ZipException(ZipException::kWriteFailure, "Cannot write " + target.getPath() + ": " + errnoText(), errno);
    }
    total += count;
  }
  if (total != declared) {
    throw ZipException(ZipException::kReadFailure, "Entry " + shown(entryName) + " holds " + std::to_string(total) +
                                                       " bytes instead of its declared " + std::to_string(declared));
  }
  input.reset();
  if (!output.close()) {
    throw ZipException(ZipException::kWriteFailure, "Cannot write " + target.getPath() + ": " + errnoText());
  }

  const File part(pattern);
  try {
    decryptor.decrypt(part);
    Security::ValidationContext context(state.path, entryName, &state.noticeGiven);
    validator.validate(part, context);
  } catch (const Security::SecurityException& e) {
    throw Security::SecurityException("File cannot be extracted for security reasons: " + shown(entryName) + " (" +
                                      e.what() + ")");
  }

  // Only a validated file takes the target name; the flushes are the durable writer's.
  const xmldoc::ReplaceResult committed = xmldoc::commitFile(
      pattern, target.getPath(), durable ? xmldoc::Durability::Durable : xmldoc::Durability::Volatile);
  if (committed.outcome == xmldoc::ReplaceOutcome::kFailed) {
    throw ZipException(ZipException::kWriteFailure, "Cannot write " + target.getPath() + ": " + committed.error,
                       committed.systemError);
  }
  removePart.release();
  return target;
}

}  // namespace

File ZipArchive::extract(const std::string& entryName, const File& folder, const std::string& targetName,
                         const Security::FileDecryptor& decryptor,
                         const Security::SignatureValidator& validator) const {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, true, "extract " + shown(entryName));
  return extractLocked(state, entryName, folder, targetName, decryptor, validator, state.diskSpaceCeiling, true);
}

bool ZipArchive::prepareXml(const std::string& entryName, const Security::FileDecryptor& decryptor,
                            const Security::SignatureValidator& validator, bool onlyExtract,
                            const std::string& decompressedPath, std::unique_ptr<TempFile>* temporary,
                            File* file) const {
  if (onlyExtract && decompressedPath.empty()) {
    ZEM_ERROR("Failed to specify decompressedPath with onlyExtract option");
    return false;
  }
  State& state = requireState(state_);
  try {
    File folder;
    std::string name;
    if (decompressedPath.empty()) {
      *temporary = std::make_unique<TempFile>("zemxml");
      folder = (*temporary)->getFile();
      name = "document.xml";
    } else {
      const File path(decompressedPath);
      folder = path.getParentFile();
      name = path.getName();
    }
    const std::lock_guard<std::mutex> lock(state.mutex);
    requireMode(state, true, "extract " + shown(entryName));
    const uint64_t limit = onlyExtract ? state.diskSpaceCeiling.load()
                                       : std::min(state.diskSpaceCeiling.load(), state.maxDocumentSize.load());
    *file = extractLocked(state, entryName, folder, name, decryptor, validator, limit, !decompressedPath.empty());
  } catch (const Security::SecurityException&) {
    throw;
  } catch (const ZipException& e) {
    ZEM_ERROR("Cannot extract " << shown(entryName) << " from " << state.path << ": " << e.what());
    throw ZipException(ZipException::kCannotExtract,
                       "Cannot extract the XML item " + shown(entryName) + " from archive " + state.path,
                       e.getSystemError());
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot extract " << shown(entryName) << " from " << state.path << ": " << e.what());
    throw ZipException(ZipException::kCannotExtract,
                       "Cannot extract the XML item " + shown(entryName) + " from archive " + state.path);
  }
  if (onlyExtract) return false;
  validateSchema(entryName, *file);
  return true;
}

ZipException ZipArchive::documentFailure(const std::string& entryName, const std::string& reason) const {
  ZEM_ERROR("Cannot load XML file : " << shown(entryName) << " from archive: " << reason);
  return ZipException(ZipException::kInvalidDocument,
                      "Cannot extract the XML item " + shown(entryName) + " from archive " + getPath());
}

void ZipArchive::validateSchema(const std::string& entryName, const File& file) const {
  const State& state = requireState(state_);
  try {
    if (state.schemaValidator != nullptr) {
      state.schemaValidator->validate(file.getPath());
    } else {
      XmlValidatorLibXml2().validate(file.getPath());
    }
  } catch (const std::exception& e) {
    throw ZipException(ZipException::kInvalidDocument,
                       "XML file failed schema validation " + shown(entryName) + ": " + e.what());
  }
}

void ZipArchive::addFile(const std::string& entryName, const File& source, const Security::FileEncryptor& encryptor) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, false, "add " + shown(entryName));
  requireSafeName(entryName, "entry");
  if (!source.isFile()) {
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": " + source.getPath() + " is not a readable file");
  }
  File actual = source;
  std::unique_ptr<FileRemover> removeStaged;
  if (!encryptor.isPassThrough()) {
    if (state.staging == nullptr) {
      try {
        state.staging = std::make_unique<TempFile>("zemzip");
      } catch (const std::exception& e) {
        throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + e.what());
      }
    }
    actual = File(state.staging->getFile(), std::to_string(state.stagingCounter++));
    removeStaged = std::make_unique<FileRemover>(actual.getPath());
    encryptor.encrypt(source, actual);
  }
  StdioPtr input(std::fopen(actual.getPath().c_str(), "rbe"));
  if (input == nullptr) {
    const int error = errno;
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": " + actual.getPath() + ": " + errnoText(), error);
  }
  const uint64_t size = actual.size();
  zip_error_t error;
  zip_error_init(&error);
  ZipSourcePtr zipSource(zipLibOps().sourceFilepCreate(input.get(), 0, -1, &error));
  if (zipSource == nullptr) {
    const std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + reason);
  }
  zip_error_fini(&error);
  (void)input.release();  // owned by the source now
  const zip_int64_t index =
      zipLibOps().fileAdd(state.zip.get(), entryName.c_str(), zipSource.get(), ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    throw ZipException(ZipException::kWriteFailure,
                       "Cannot add " + shown(entryName) + ": " + archiveErrorText(state.zip.get()));
  }
  (void)zipSource.release();  // owned by the archive now
  // The fastest deflate level: the default level spends several times the CPU for a few percent.
  // Should the library refuse it, the entry keeps the default level (the package stays valid).
  if (zipLibOps().setFileCompression(state.zip.get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                     kCompressionLevel) != 0) {
    ZEM_WARN("Entry " << shown(entryName) << " of " << state.path
                      << " keeps the default compression: " << archiveErrorText(state.zip.get()));
  }
  if (removeStaged != nullptr) removeStaged->release();  // removed with the staging folder
  const auto existing = std::find(state.addedNames.begin(), state.addedNames.end(), entryName);
  if (existing == state.addedNames.end()) {
    state.addedNames.push_back(entryName);
    state.addedSizes.push_back(size);
  } else {
    state.addedSizes[static_cast<size_t>(existing - state.addedNames.begin())] = size;
  }
}

void ZipArchive::close(const Security::SignatureGenerator& generator) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  const State::Mode mode = state.mode;
  state.mode = State::Mode::Closed;
  if (mode == State::Mode::Closed) return;
  if (mode == State::Mode::Read) {
    state.zip.reset();
    return;
  }
  // Writing. Whatever happens below, the archive ends closed and the staging copies go.
  struct Cleanup {
    State& state;
    ~Cleanup() {
      state.zip.reset();
      state.staging.reset();
    }
  } cleanup{state};
  if (state.addedNames.empty()) {
    throw ZipException(ZipException::kWriteFailure, "Archive " + state.path + " is not written: it holds no entry");
  }
  FileRemover removeTemporary(state.writePath);
  if (zipLibOps().close(state.zip.get()) != 0) {
    zip_error_t* const error = zip_get_error(state.zip.get());
    const int systemError = zip_error_system_type(error) == ZIP_ET_SYS ? zip_error_code_system(error) : 0;
    throw ZipException(ZipException::kWriteFailure,
                       "Cannot write archive " + state.path + ": " + archiveErrorText(state.zip.get()), systemError);
  }
  (void)state.zip.release();  // zip_close freed it
  // The signature is written first, so that a package never stands under its final name without it.
  if (!generator.isEmpty()) {
    const std::string signature = generator.sign(File(state.writePath));
    if (!signature.empty() && !File(state.path + ".sig").writeAtomically(signature + "\n")) {
      throw ZipException(ZipException::kWriteFailure, "Cannot write the signature of archive " + state.path);
    }
  }
  const xmldoc::ReplaceResult committed = xmldoc::commitFile(state.writePath, state.path);
  if (committed.outcome == xmldoc::ReplaceOutcome::kFailed) {
    throw ZipException(ZipException::kWriteFailure, "Cannot write archive " + state.path + ": " + committed.error,
                       committed.systemError);
  }
  removeTemporary.release();
  if (!committed.ok())
    ZEM_WARN("Archive " << state.path << " is written but may not survive a power cut: " << committed.error);
}

const Security::FileDecryptor& ZipArchive::nonDecryptor() {
  static const Security::FileDecryptor decryptor;
  return decryptor;
}

const Security::SignatureValidator& ZipArchive::nonValidator() {
  static const Security::SignatureValidator validator;
  return validator;
}
