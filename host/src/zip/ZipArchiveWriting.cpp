// ZipArchive, writing: a new archive under a hidden temporary name, entries added (through the
// encryptor when it changes them) at the fastest deflate level, and the signed commit on close.
#include "kest/zip/ZipArchive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string_view>

#include "kest/ApplicationLogger.h"
#include "kolconfig/FileIo.h"
#include "zip/CompressedEntryCache.h"
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

// A libzip source reading `content`, which it owns from now on. Throws ZipException when the
// file cannot be opened (kCannotOpen) or libzip refuses it (kWriteFailure).
ZipSourcePtr openContent(const File& content, const std::string& entryName) {
  StdioPtr input(std::fopen(content.getPath().c_str(), "rbe"));
  if (input == nullptr) {
    const int error = errno;
    throw ZipException(ZipException::kCannotOpen,
                       "Cannot add " + shown(entryName) + ": " + content.getPath() + ": " + errnoText(), error);
  }
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
  return zipSource;
}

// The whole content of `file` when it is a regular file of `size` bytes, readable at once; null
// otherwise. The buffer is not zero-filled first: every byte of it is read.
struct MallocFree {
  void operator()(char* bytes) const { std::free(bytes); }
};
using MallocPtr = std::unique_ptr<char, MallocFree>;

MallocPtr readWhole(const File& file, uint64_t size) {
  StdioPtr input(std::fopen(file.getPath().c_str(), "rbe"));
  if (input == nullptr) return nullptr;
  MallocPtr bytes(static_cast<char*>(std::malloc(static_cast<size_t>(size))));
  if (bytes == nullptr || std::fread(bytes.get(), 1, static_cast<size_t>(size), input.get()) != size ||
      std::fgetc(input.get()) != EOF) {
    return nullptr;
  }
  return bytes;
}

// A source copying the compressed data of `content` from the compressed-entry cache (deflating
// it there when the cache holds other bytes), with `st` set to the file's status; null when the
// file is not cacheable or anything fails, and the caller then adds the file as usual.
// REQUIRES: state.mutex held; state in write mode.
ZipSourcePtr cachedContent(ZipArchive::State& state, const File& content, struct stat* st) {
  if (::stat(content.getPath().c_str(), st) != 0 || !S_ISREG(st->st_mode)) return nullptr;
  const auto size = static_cast<uint64_t>(st->st_size);
  if (size < zipdetail::CompressedEntryCache::kMinFileSize || size > zipdetail::CompressedEntryCache::kMaxFileSize) {
    return nullptr;
  }
  // A settled file the cache was made from is not read again: its identity vouches for its bytes.
  zipdetail::CompressedEntryCache& cache = zipdetail::CompressedEntryCache::instance();
  zipdetail::CompressedEntryCache::Identity identity{};
  const bool settled = zipdetail::CompressedEntryCache::settledIdentity(*st, &identity);
  zipdetail::BorrowedArchive borrowed{settled ? cache.deflatedFor(identity, kCompressionLevel) : nullptr, nullptr};
  if (borrowed.bytes == nullptr) {
    const MallocPtr bytes = readWhole(content, size);
    if (bytes == nullptr) return nullptr;
    borrowed.bytes = cache.deflated(std::string_view(bytes.get(), static_cast<size_t>(size)), kCompressionLevel,
                                    settled ? &identity : nullptr);
  }
  if (borrowed.bytes == nullptr) return nullptr;
  zip_error_t error;
  zip_error_init(&error);
  ZipSourcePtr buffer(zip_source_buffer_create(borrowed.bytes->data(), borrowed.bytes->size(), 0, &error));
  if (buffer != nullptr) borrowed.zip.reset(zip_open_from_source(buffer.get(), ZIP_RDONLY, &error));
  zip_error_fini(&error);
  if (borrowed.zip == nullptr) return nullptr;
  (void)buffer.release();  // owned by the borrowed archive now
  ZipSourcePtr copy(zip_source_zip(state.zip.get(), borrowed.zip.get(), 0, ZIP_FL_COMPRESSED, 0, -1));
  if (copy == nullptr) return nullptr;
  state.borrowed.push_back(std::move(borrowed));
  return copy;
}

// Gives an entry copied from the cache the time and attributes that adding `st`'s file directly
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
  // Only plain content is cached: an encrypted copy differs every time.
  struct stat st {};
  ZipSourcePtr zipSource = encryptor.isPassThrough() ? cachedContent(state, content, &st) : nullptr;
  const bool copied = zipSource != nullptr;
  if (!copied) zipSource = openContent(content, entryName);
  const uint64_t size = copied ? static_cast<uint64_t>(st.st_size) : content.size();
  const zip_uint64_t index = addSource(state, entryName, std::move(zipSource));
  if (copied) {
    if (!applyFileStatus(state.zip.get(), index, st)) throw addFailure(state, entryName);
  } else {
    setFastestCompression(state, index, entryName);
  }
  if (removeStaged != nullptr) removeStaged->release();  // removed with the staging folder
  recordAdded(state, entryName, size);
}

void ZipArchive::addBytes(const std::string& entryName, const std::string& bytes, time_t mtime, mode_t permissions) {
  State& state = requireState(state_);
  const std::lock_guard<std::mutex> lock(state.mutex);
  requireMode(state, false, "add " + shown(entryName));
  requireSafeName(entryName, "entry");
  // libzip frees the copy with free() once the archive is written or discarded.
  MallocPtr copy(static_cast<char*>(std::malloc(std::max<size_t>(bytes.size(), 1))));
  if (copy == nullptr)
    throw ZipException(ZipException::kWriteFailure, "Cannot add " + shown(entryName) + ": no memory");
  std::copy(bytes.begin(), bytes.end(), copy.get());
  ZipSourcePtr zipSource(zip_source_buffer(state.zip.get(), copy.get(), bytes.size(), 1));
  if (zipSource == nullptr) throw addFailure(state, entryName);
  (void)copy.release();  // owned by the source now
  const zip_uint64_t index = addSource(state, entryName, std::move(zipSource));
  struct stat st {};
  static const mode_t kCreatedFileMode = createdFileMode();
  st.st_mode = permissions == 0 ? kCreatedFileMode : (S_IFREG | (permissions & 07777));
  st.st_mtime = mtime;
  if (!applyFileStatus(state.zip.get(), index, st)) throw addFailure(state, entryName);
  setFastestCompression(state, index, entryName);
  recordAdded(state, entryName, bytes.size());
}

namespace zipdetail {

void finishWriting(ZipArchive::State& state, const Security::SignatureGenerator& generator) {
  // Whatever happens below, the archive ends closed and the staging copies go.
  struct Cleanup {
    ZipArchive::State& state;
    ~Cleanup() {
      state.zip.reset();
      state.borrowed.clear();
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
