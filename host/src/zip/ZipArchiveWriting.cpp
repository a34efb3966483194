// ZipArchive, writing: a new archive under a hidden temporary name, entries added (through the
// encryptor when it changes them) at the fastest deflate level, and the signed commit on close.
#include "kest/zip/ZipArchive.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kolconfig/FileIo.h"
#include "zip/ZipArchiveState.h"

using zipdetail::archiveErrorText;
using zipdetail::errnoText;
using zipdetail::FileRemover;
using zipdetail::libzipErrorText;
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
  int errorCode = 0;
  state->zip.reset(zipLibOps().open(state->writePath.c_str(), ZIP_CREATE | ZIP_EXCL, &errorCode));
  if (state->zip == nullptr) {
    throw ZipException(ZipException::kCannotOpen, "Cannot create archive " + path + ": " + libzipErrorText(errorCode));
  }
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
  ZipSourcePtr zipSource = openContent(content, entryName);
  const uint64_t size = content.size();
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
  recordAdded(state, entryName, size);
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
