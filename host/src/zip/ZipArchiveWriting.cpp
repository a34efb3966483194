// ZipArchive, writing: a new archive under a hidden temporary name, entries added (through the
// encryptor when it changes them) at the fastest deflate level, and the signed commit on close.
#include "kest/zip/ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string_view>

#include "kest/ApplicationLogger.h"
#include "kolconfig/FileIo.h"
#include "zip/CompressedEntryCache.h"
#include "zip/DeflatedEntry.h"
#include "zip/PackageSink.h"
#include "zip/ZipArchiveState.h"

using zipdetail::archiveErrorText;
using zipdetail::errnoText;
using zipdetail::FileRemover;
using zipdetail::requireMode;
using zipdetail::requireSafeName;
using zipdetail::requireState;
using zipdetail::shown;

namespace {

struct ZipSourceFree {
  void operator()(zip_source_t* source) const { zipLibOps().sourceFree(source); }
};
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFree>;

struct StdioCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using StdioPtr = std::unique_ptr<FILE, StdioCloser>;

// Deflate level of written entries (1 = fastest).
constexpr zip_uint32_t kCompressionLevel = 1;

std::string temporarySibling(const std::string& path) {
  static std::atomic<unsigned long> counter{0};
  const File file(path);
  return File(file.getParentFile(),
              "." + file.getName() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)))
      .getPath();
}

// The file whose bytes become the entry: `source` itself for a pass-through encryptor, otherwise
// its encrypted copy in the archive's staging folder, which `removeStaged` then removes unless
// released. Throws ZipException(kWriteFailure) when no staging folder can be made, or
// SecurityException from the encryptor.
// REQUIRES: state.mutex held.
File entryContent(ZipArchive::State& state, const std::string& entryName, const File& source,
                  const Security::FileEncryptor& encryptor, std::unique_ptr<FileRemover>* removeStaged) {
  if (encryptor.isPassThrough()) return source;
  if (state.staging == nullptr) {
    try {
      state.staging = std::make_unique<TempFile>("zemzip");
    } catch (const std::exception& e) {
      throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + e.what());
    }
  }
  File staged(state.staging->getFile(), std::to_string(state.stagingCounter++));
  *removeStaged = std::make_unique<FileRemover>(staged.getPath());
  encryptor.encrypt(source, staged);
  return staged;
}

// A libzip source reading the open regular file `fd` from its start through a descriptor of its
// own, so that the caller may close `fd` before the archive is written. Throws
// ZipException(kCannotOpen) when no descriptor can be made, ZipException(kWriteFailure) when
// libzip refuses.
ZipSourcePtr openContent(int fd, const std::string& entryName) {
  xmldoc::UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  StdioPtr input(copy.valid() ? ::fdopen(copy.get(), "rb") : nullptr);
  if (input == nullptr) {
    const int error = errno;
    throw ZipException(ZipException::kCannotOpen, "Cannot add " + shown(entryName) + ": " + errnoText(), error);
  }
  (void)copy.release();  // closed with `input`
  zip_error_t error;
  zip_error_init(&error);
  // libzip reads on from where the stream stands, the offset shared with `fd`: from the start.
  ZipSourcePtr zipSource;
  if (std::fseek(input.get(), 0, SEEK_SET) != 0) {
    zip_error_set(&error, ZIP_ER_SEEK, errno);
  } else {
    zipSource.reset(zipLibOps().sourceFilepCreate(input.get(), 0, -1, &error));
  }
  if (zipSource == nullptr) {
    const std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + reason);
  }
  zip_error_fini(&error);
  (void)input.release();  // owned by the source now
  return zipSource;
}

// The whole content of the open file `fd`, which must hold exactly `size` bytes from its start;
// nothing when it cannot be read so.
std::optional<std::string> readWhole(int fd, uint64_t size) {
  std::string bytes;
  bytes.resize(static_cast<size_t>(size));
  uint64_t offset = 0;
  char extra = 0;
  for (;;) {
    const bool full = offset == size;
    const ssize_t n =
        full ? ::pread(fd, &extra, 1, static_cast<off_t>(offset))
             : ::pread(fd, bytes.data() + offset, static_cast<size_t>(size - offset), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (full && n > 0) || (!full && n == 0)) return std::nullopt;  // unreadable, longer or shorter
    if (full) return bytes;
    offset += static_cast<uint64_t>(n);
  }
}

// A libzip source of `entry`, deflated already. Throws ZipException(kWriteFailure) when libzip
// refuses.
ZipSourcePtr deflatedSource(std::shared_ptr<const zipdetail::DeflatedEntry> entry, const std::string& entryName) {
  zip_error_t error;
  zip_error_init(&error);
  ZipSourcePtr source(zipdetail::DeflatedEntry::source(std::move(entry), &error));
  const std::string reason = zip_error_strerror(&error);
  zip_error_fini(&error);
  if (source == nullptr)
    throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + reason);
  return source;
}

// `bytes` deflated in memory as entry `entryName` (through the compressed-entry cache when
// `cache`, with `identity` naming the settled file they come from, if any). Throws
// ZipException(kWriteFailure) when zlib fails.
std::shared_ptr<const zipdetail::DeflatedEntry> deflateBytes(
    std::string_view bytes, const std::string& entryName, bool cache,
    const zipdetail::CompressedEntryCache::Identity* identity) {
  zip_error_t error;
  zip_error_init(&error);
  std::shared_ptr<const zipdetail::DeflatedEntry> entry =
      cache ? zipdetail::CompressedEntryCache::instance().deflated(bytes, kCompressionLevel, &error, identity)
            : zipdetail::DeflatedEntry::deflate(bytes, kCompressionLevel, &error);
  const std::string reason = zip_error_strerror(&error);
  zip_error_fini(&error);
  if (entry == nullptr)
    throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": " + reason);
  return entry;
}

// The content of the open regular file `fd` (whose status is `st`) deflated in memory: read and
// deflated here when it is smaller than the compressed-entry cache's range, taken from (or put
// into) the cache within it. Null for a larger file or one that cannot be read at once: the caller
// then lets libzip read it. `cacheable` is false for content that differs every time (an
// encrypted copy). Throws ZipException(kWriteFailure) when zlib fails.
std::shared_ptr<const zipdetail::DeflatedEntry> deflatedContent(int fd, const struct stat& st,
                                                                const std::string& entryName, bool cacheable) {
  using Cache = zipdetail::CompressedEntryCache;
  const auto size = static_cast<uint64_t>(st.st_size);
  const bool small = size < Cache::kMinFileSize;
  if (!small && (!cacheable || size > Cache::kMaxFileSize)) return nullptr;
  Cache::Identity identity{};
  const bool settled = !small && Cache::settledIdentity(st, &identity);
  if (!small) {
    // A settled file the cache was made from is not read again: its identity vouches for its
    // bytes. Any other is compared with the cached bytes as it is read.
    std::shared_ptr<const zipdetail::DeflatedEntry> cached =
        settled ? Cache::instance().deflatedFor(identity, kCompressionLevel) : nullptr;
    if (cached == nullptr) {
      cached = Cache::instance().matching(fd, size, kCompressionLevel, settled ? &identity : nullptr);
    }
    if (cached != nullptr) return cached;
  }
  const std::optional<std::string> bytes = readWhole(fd, size);
  if (!bytes.has_value()) return nullptr;
  return deflateBytes(*bytes, entryName, !small, settled ? &identity : nullptr);
}

// Gives an entry deflated in memory the time and attributes that adding `st`'s file directly
// gives: its modification time, its mode as Unix external attributes (plus the DOS read-only
// bit for a file its owner cannot write). Returns false when libzip refuses.
bool applyFileStatus(zip_t* archive, zip_uint64_t index, const struct stat& st) {
  const auto mode = static_cast<zip_uint32_t>(st.st_mode);
  return zip_file_set_mtime(archive, index, st.st_mtime, 0) == 0 &&
         zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                          (mode << 16) | ((mode & S_IWUSR) != 0 ? 0 : 1)) == 0;
}

// The fastest deflate level for entry `index`: the default level spends several times the CPU
// for a few percent. Should the library refuse it, the entry keeps the default level (still valid).
// REQUIRES: state.mutex held; state in write mode.
void setFastestCompression(ZipArchive::State& state, zip_uint64_t index, const std::string& entryName) {
  if (zipLibOps().setFileCompression(state.zip.get(), index, ZIP_CM_DEFLATE, kCompressionLevel) != 0) {
    ZEM_WARN("Entry " << shown(entryName) << " of " << state.path
                      << " keeps the default compression: " << archiveErrorText(state.zip.get()));
  }
}

// The mode a regular file created with mode 0666 gets: the umask read from the kernel's status
// of this process (reading it with umask() would change it for a moment under other threads);
// 0644 when the kernel does not show it. Read once: nothing in this process changes its umask.
mode_t createdFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return S_IFREG | (0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)));
  }
  return S_IFREG | 0644;
}

// The failure to add `entryName`, with the archive's last libzip error.
// REQUIRES: state.mutex held.
ZipException addFailure(ZipArchive::State& state, const std::string& entryName) {
  return ZipException(ZipException::kWriteFailure,
                      "Cannot add " + shown(entryName) + ": " + archiveErrorText(state.zip.get()));
}

// Adds `source` as `entryName` (replacing an entry of that name); the archive owns the source from
// then on. Returns the entry's index. Throws ZipException(kWriteFailure) when libzip refuses.
// REQUIRES: state.mutex held; state in write mode.
zip_uint64_t addSource(ZipArchive::State& state, const std::string& entryName, ZipSourcePtr source) {
  const zip_int64_t index =
      zipLibOps().fileAdd(state.zip.get(), entryName.c_str(), source.get(), ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
  if (index < 0) throw addFailure(state, entryName);
  (void)source.release();  // owned by the archive now
  return static_cast<zip_uint64_t>(index);
}

// Records `entryName` (or its new size, when it replaced an entry of that name).
// REQUIRES: state.mutex held.
void recordAdded(ZipArchive::State& state, const std::string& entryName, uint64_t size) {
  const auto existing = std::find(state.addedNames.begin(), state.addedNames.end(), entryName);
  if (existing == state.addedNames.end()) {
    state.addedNames.push_back(entryName);
    state.addedSizes.push_back(size);
  } else {
    state.addedSizes[static_cast<size_t>(existing - state.addedNames.begin())] = size;
  }
}

}  // namespace

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
  zip_error_t error;
  zip_error_init(&error);
  ZipSourcePtr sink(zipdetail::PackageSink::create(state->writePath, &error));
  if (sink != nullptr) state->zip.reset(zipLibOps().openFromSource(sink.get(), ZIP_CREATE | ZIP_EXCL, &error));
  if (state->zip == nullptr) {
    const std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ZipException(ZipException::kCannotOpen, "Cannot create archive " + path + ": " + reason);
  }
  (void)sink.release();  // owned by the archive now
  zip_error_fini(&error);
  return ZipArchive(std::move(state));
}

namespace {

// Adds the open regular file `fd` (status `st`) as `entryName`: deflated in memory where the
// file's size allows, otherwise streamed by libzip through a descriptor of its own. Throws
// ZipException; the archive is unchanged then.
// REQUIRES: state.mutex held; state in write mode; `entryName` safe.
void addOpened(ZipArchive::State& state, const std::string& entryName, int fd, const struct stat& st, bool cacheable) {
  std::shared_ptr<const zipdetail::DeflatedEntry> deflated = deflatedContent(fd, st, entryName, cacheable);
  const bool inMemory = deflated != nullptr;
  ZipSourcePtr zipSource = inMemory ? deflatedSource(std::move(deflated), entryName) : openContent(fd, entryName);
  const zip_uint64_t index = addSource(state, entryName, std::move(zipSource));
  if (inMemory) {
    if (!applyFileStatus(state.zip.get(), index, st)) throw addFailure(state, entryName);
  } else {
    setFastestCompression(state, index, entryName);
  }
  recordAdded(state, entryName, static_cast<uint64_t>(st.st_size));
}

}  // namespace

void ZipArchive::addFile(const std::string& entryName, const File& source, const Security::FileEncryptor& encryptor) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, false, "add " + shown(entryName));
  requireSafeName(entryName, "entry");
  if (!source.isFile()) {
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": " + source.getPath() + " is not a readable file");
  }
  std::unique_ptr<FileRemover> removeStaged;
  const File content = entryContent(state, entryName, source, encryptor, &removeStaged);
  const xmldoc::UniqueFd fd(::open(content.getPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  const bool opened = fd.valid() && ::fstat(fd.get(), &st) == 0;
  if (!opened || !S_ISREG(st.st_mode)) {
    const int error = opened ? EINVAL : errno;
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": " + content.getPath() + ": " +
                           (opened ? std::string("not a regular file") : errnoText()),
                       error);
  }
  // Only plain content is cached: an encrypted copy differs every time.
  addOpened(state, entryName, fd.get(), st, encryptor.isPassThrough());
  if (removeStaged != nullptr) removeStaged->release();  // removed with the staging folder
}

void ZipArchive::addOpenFile(const std::string& entryName, int fd) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, false, "add " + shown(entryName));
  requireSafeName(entryName, "entry");
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": the descriptor given holds no regular file");
  }
  addOpened(state, entryName, fd, st, true);
}

void ZipArchive::addBytes(const std::string& entryName, const std::string& bytes, time_t mtime, mode_t permissions) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, false, "add " + shown(entryName));
  requireSafeName(entryName, "entry");
  const zip_uint64_t index =
      addSource(state, entryName, deflatedSource(deflateBytes(bytes, entryName, false, nullptr), entryName));
  struct stat st {};
  static const mode_t kCreatedFileMode = createdFileMode();
  st.st_mode = permissions == 0 ? kCreatedFileMode : (S_IFREG | (permissions & 07777));
  st.st_mtime = mtime;
  if (!applyFileStatus(state.zip.get(), index, st)) throw addFailure(state, entryName);
  recordAdded(state, entryName, bytes.size());
}

namespace zipdetail {

void finishWriting(ZipArchive::State& state, const Security::SignatureGenerator& generator) {
  // Whatever happens below, the archive ends closed and the staging copies go.
  struct Cleanup {
    ZipArchive::State& state;
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

}  // namespace zipdetail
