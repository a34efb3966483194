// ZipArchive on libzip: the checks every part shares, opening, suspending and closing. Reading is
// in ZipArchiveReading.cpp, writing in ZipArchiveWriting.cpp. Every libzip call goes through
// zipLibOps() and every handle is owned by a unique_ptr from the moment it is obtained. Files are
// written to a temporary name in their final folder and committed into place only once complete,
// by the one durable writer (xmldoc::commitFile).
#include "kest/zip/ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kolconfig/FileIo.h"
#include "zip/ZipArchiveState.h"

namespace zipdetail {

namespace {

// The durable writer's descriptor holder: one in the system.
using xmldoc::UniqueFd;

// At most this many bytes of a name from a container reach a text (see shown()).
constexpr size_t kShownNameBytes = 256;

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

}  // namespace

std::string errnoText() { return std::strerror(errno); }

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

std::string shown(const std::string& name) { return ApplicationLogger::shortened(name, kShownNameBytes); }

void requireSafeName(const std::string& name, const std::string& what) {
  const std::string reason = unsafeNameReason(name);
  if (!reason.empty()) {
    throw ZipException(ZipException::kEntryRefused, "Refused " + what + " \"" + shown(name) + "\": " + reason);
  }
}

ZipArchive::State& requireState(const std::shared_ptr<ZipArchive::State>& state) {
  if (state == nullptr) throw ZipException(ZipException::kInvalidState, "Operation on a null archive");
  return *state;
}

void requireMode(const ZipArchive::State& state, bool reading, const std::string& operation) {
  const auto wanted = reading ? ZipArchive::State::Mode::Read : ZipArchive::State::Mode::Write;
  if (state.mode == wanted) return;
  if (state.mode == ZipArchive::State::Mode::Closed) {
    throw ZipException(ZipException::kInvalidState, "Cannot " + operation + ": archive " + state.path + " is closed");
  }
  throw ZipException(ZipException::kInvalidState, "Cannot " + operation + ": archive " + state.path + " is open for " +
                                                      (reading ? "writing" : "reading"));
}

zip_t* readHandle(ZipArchive::State& state) {
  if (state.zip == nullptr) {
    struct stat identity;
    state.zip = openZipAt(state.folder, state.name, state.path, &state.identity, &identity);
  }
  return state.zip.get();
}

}  // namespace zipdetail

using zipdetail::openZipAt;
using zipdetail::requireState;

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
  zipdetail::finishWriting(state, generator);
}

const Security::FileDecryptor& ZipArchive::nonDecryptor() {
  static const Security::FileDecryptor decryptor;
  return decryptor;
}

const Security::SignatureValidator& ZipArchive::nonValidator() {
  static const Security::SignatureValidator validator;
  return validator;
}
