// ZipArchive, reading: the entry list and sizes, and extraction, which never trusts the archive.
// An entry goes through named steps (locate and refuse special entries, check its declared size,
// place the target inside the extraction folder, copy within the limits, decrypt and validate,
// commit), each of which throws and leaves nothing behind.
#include "kest/zip/ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kolconfig/FileIo.h"
#include "zip/ZipArchiveState.h"

namespace zipdetail {
namespace {

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zipLibOps().fclose(file); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

// The durable writer's descriptor holder and write loop: one of each in the system.
using xmldoc::UniqueFd;
using xmldoc::writeAll;

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

// The index of `entryName`. Throws ZipException(kEntryRefused) when there is no such entry, or
// when it is stored as a symbolic link or as anything but a regular file.
zip_uint64_t locateEntry(const ZipArchive::State& state, zip_t* zip, const std::string& entryName) {
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
  return index;
}

// The uncompressed size the entry declares. Throws ZipException(kReadFailure) when it declares
// none, ZipException(kSizeLimit) for a task description beyond ZipArchive::kMaxIndexSize.
uint64_t declaredSize(zip_t* zip, zip_uint64_t index, const std::string& entryName) {
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
  return declared;
}

// Creates the folder of `target` and returns its real path. Throws ZipException when it cannot
// be created (kWriteFailure) or resolves outside `folder` once links are resolved (kEntryRefused).
std::string containedTargetFolder(const File& folder, const File& target, const std::string& targetName) {
  const File targetFolder = target.getParentFile();
  if (!folder.mkdirs() || !targetFolder.mkdirs()) {
    throw ZipException(ZipException::kWriteFailure,
                       "Cannot create folder " + targetFolder.getPath() + ": " + errnoText());
  }
  const std::string root = realPath(folder.getPath());
  // A target directly inside `folder` resolves to `root` itself: one resolution instead of two
  // (each costs a readlink per path component).
  std::string resolved = targetFolder.getPath() == folder.getPath() ? root : realPath(targetFolder.getPath());
  if (root.empty() || resolved.empty() || !isWithin(root, resolved)) {
    throw ZipException(ZipException::kEntryRefused,
                       "Refused target name \"" + shown(targetName) + "\": resolves outside " + folder.getPath());
  }
  return resolved;
}

// Throws ZipException(kSizeLimit) when the entry declares more than `allowed` bytes.
void requireDeclaredWithin(const std::string& entryName, uint64_t declared, uint64_t allowed) {
  if (declared > allowed) {
    throw ZipException(ZipException::kSizeLimit, "Entry " + shown(entryName) + " declares " + std::to_string(declared) +
                                                     " bytes, more than the " + std::to_string(allowed) +
                                                     " bytes allowed");
  }
}

// How many bytes the entry may write in `resolved`: `limit` or the free space, the smaller.
// Throws ZipException(kSizeLimit) when the entry declares more.
uint64_t allowedSize(const std::string& entryName, uint64_t declared, uint64_t limit, const std::string& resolved) {
  const uint64_t allowed = std::min(limit, availableBytes(resolved));
  requireDeclaredWithin(entryName, declared, allowed);
  return allowed;
}

// Copies the entry's bytes from `input` to `sink`, stopping with a ZipException as soon as it
// grows past `declared` or `allowed` bytes, and when it ends short of `declared`. `sink` returns
// false when it cannot take the bytes (errno tells why); `sinkName` names it in the exception.
void copyEntry(zip_file_t* input, const std::function<bool(const char*, size_t)>& sink, const std::string& entryName,
               uint64_t declared, uint64_t allowed, const std::string& sinkName) {
  std::vector<char> buffer(64 * 1024);
  uint64_t total = 0;
  for (;;) {
    const zip_int64_t n = zipLibOps().fread(input, buffer.data(), buffer.size());
    if (n < 0) {
      const char* reason = zipLibOps().fileStrerror(input);
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
    if (!sink(buffer.data(), static_cast<size_t>(count))) {
      throw ZipException(ZipException::kWriteFailure, "Cannot write " + sinkName + ": " + errnoText(), errno);
    }
    total += count;
  }
  if (total != declared) {
    throw ZipException(ZipException::kReadFailure, "Entry " + shown(entryName) + " holds " + std::to_string(total) +
                                                       " bytes instead of its declared " + std::to_string(declared));
  }
}

// Runs `check`; a SecurityException it throws becomes "File cannot be extracted for security
// reasons: NAME (reason)".
template <typename Check>
void refuseForSecurity(const std::string& entryName, const Check& check) {
  try {
    check();
  } catch (const Security::SecurityException& e) {
    throw Security::SecurityException("File cannot be extracted for security reasons: " + shown(entryName) + " (" +
                                      e.what() + ")");
  }
}

// Decrypts the extracted `part` in place and validates it. Throws SecurityException "File cannot
// be extracted for security reasons: ..." when either refuses it.
void checkPart(ZipArchive::State& state, const std::string& entryName, const File& part,
               const Security::FileDecryptor& decryptor, const Security::SignatureValidator& validator) {
  refuseForSecurity(entryName, [&] {
    decryptor.decrypt(part);
    Security::ValidationContext context(state.path, entryName, &state.noticeGiven);
    validator.validate(part, context);
  });
}

// As checkPart(), for an entry read into memory that nothing decrypts.
// REQUIRES: validator.checksBytes().
void checkBytes(ZipArchive::State& state, const std::string& entryName, std::string_view bytes,
                const Security::SignatureValidator& validator) {
  refuseForSecurity(entryName, [&] {
    Security::ValidationContext context(state.path, entryName, &state.noticeGiven);
    validator.validateBytes(bytes, context);
  });
}

// An entry that may be read: its name is safe, it is a regular file, and it declares its size.
struct CheckedEntry {
  zip_t* zip;
  zip_uint64_t index;
  uint64_t declared;
};

// Finds `entryName` and checks it (see CheckedEntry). Throws ZipException as requireSafeName,
// locateEntry and declaredSize. REQUIRES: state.mutex held; state in read mode.
CheckedEntry checkedEntry(ZipArchive::State& state, const std::string& entryName) {
  requireSafeName(entryName, "entry");
  zip_t* const zip = readHandle(state);
  const zip_uint64_t index = locateEntry(state, zip, entryName);
  return CheckedEntry{zip, index, declaredSize(zip, index, entryName)};
}

// The entry opened for reading its plain bytes. Throws ZipException(kReadFailure).
ZipFilePtr openEntry(const CheckedEntry& entry, const std::string& entryName) {
  ZipFilePtr input(zipLibOps().fopenIndex(entry.zip, entry.index, 0));
  if (input == nullptr) {
    throw ZipException(ZipException::kReadFailure,
                       "Cannot read entry " + shown(entryName) + ": " + archiveErrorText(entry.zip));
  }
  return input;
}

// Reads `entryName` into `bytes` with the checks of extraction (names, links, declared size,
// expansion past it) under `limit` bytes, when it declares at most `memoryCap` bytes. Returns
// false, having read nothing, for a larger entry. Throws ZipException as extraction does.
// REQUIRES: state.mutex held; state in read mode.
bool readEntryLocked(ZipArchive::State& state, const std::string& entryName, uint64_t limit, uint64_t memoryCap,
                     std::string* bytes) {
  const CheckedEntry entry = checkedEntry(state, entryName);
  requireDeclaredWithin(entryName, entry.declared, limit);
  if (entry.declared > memoryCap) return false;
  ZipFilePtr input = openEntry(entry, entryName);
  bytes->clear();
  bytes->reserve(static_cast<size_t>(entry.declared));
  const auto toMemory = [bytes](const char* data, size_t size) {
    bytes->append(data, size);
    return true;
  };
  copyEntry(input.get(), toMemory, entryName, entry.declared, limit, "memory");
  return true;
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
  const CheckedEntry entry = checkedEntry(state, entryName);
  File target(folder, targetName);
  const std::string resolved = containedTargetFolder(folder, target, targetName);
  const uint64_t allowed = allowedSize(entryName, entry.declared, limit, resolved);

  ZipFilePtr input = openEntry(entry, entryName);
  std::string pattern = File(resolved, "." + target.getName() + ".part-XXXXXX").getPath();
  UniqueFd output(::mkostemp(&pattern[0], O_CLOEXEC));
  if (output.get() < 0) {
    throw ZipException(ZipException::kWriteFailure, "Cannot create a file in " + resolved + ": " + errnoText(), errno);
  }
  FileRemover removePart(pattern);
  ::fchmod(output.get(), 0644);
  const int fd = output.get();
  const auto toFile = [fd](const char* data, size_t size) { return writeAll(fd, data, size); };
  copyEntry(input.get(), toFile, entryName, entry.declared, allowed, target.getPath());
  input.reset();
  if (!output.close()) {
    throw ZipException(ZipException::kWriteFailure, "Cannot write " + target.getPath() + ": " + errnoText());
  }
  checkPart(state, entryName, File(pattern), decryptor, validator);

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
}  // namespace zipdetail

using zipdetail::checkBytes;
using zipdetail::extractLocked;
using zipdetail::readEntryLocked;
using zipdetail::readHandle;
using zipdetail::requireMode;
using zipdetail::requireState;
using zipdetail::shown;

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
                            const std::string& decompressedPath, std::unique_ptr<TempFile>* temporary, File* file,
                            std::string* text) const {
  if (onlyExtract && decompressedPath.empty()) {
    ZEM_ERROR("Failed to specify decompressedPath with onlyExtract option");
    return false;
  }
  State& state = requireState(state_);
  // A small document that nothing decrypts is read straight into memory and its signature checked
  // there: a file made only to be read back costs an inode, a rename and an unlink.
  const bool memory = decompressedPath.empty() && decryptor.isPassThrough() && validator.checksBytes();
  bool inMemory = false;
  try {
    const std::lock_guard<std::mutex> lock(state.mutex);
    requireMode(state, true, "extract " + shown(entryName));
    const uint64_t limit = onlyExtract ? state.diskSpaceCeiling.load()
                                       : std::min(state.diskSpaceCeiling.load(), state.maxDocumentSize.load());
    inMemory = memory && readEntryLocked(state, entryName, limit, kMaxDocumentInMemory, text);
    if (inMemory) {
      checkBytes(state, entryName, *text, validator);
    } else {
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
      *file = extractLocked(state, entryName, folder, name, decryptor, validator, limit, !decompressedPath.empty());
    }
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
  if (inMemory) {
    validateSchemaText(entryName, *text);
  } else {
    validateSchema(entryName, *file);
  }
  return true;
}

ZipException ZipArchive::documentFailure(const std::string& entryName, const std::string& reason) const {
  ZEM_ERROR("Cannot load XML file : " << shown(entryName) << " from archive: " << reason);
  return ZipException(ZipException::kInvalidDocument,
                      "Cannot extract the XML item " + shown(entryName) + " from archive " + getPath());
}

namespace {

// Runs `validate` with the archive's schema validator (the device schema's without one). Throws
// ZipException(-1) "XML file failed schema validation " + entry + ": " + reason.
void validateWith(const ZipArchive::State& state, const std::string& entryName,
                  const std::function<void(const XmlValidatorLibXml2&)>& validate) {
  try {
    if (state.schemaValidator != nullptr) {
      validate(*state.schemaValidator);
    } else {
      validate(XmlValidatorLibXml2());
    }
  } catch (const std::exception& e) {
    throw ZipException(ZipException::kInvalidDocument,
                       "XML file failed schema validation " + shown(entryName) + ": " + e.what());
  }
}

}  // namespace

void ZipArchive::validateSchemaText(const std::string& entryName, const std::string& text) const {
  validateWith(requireState(state_), entryName,
               [&](const XmlValidatorLibXml2& validator) { validator.validateText(text, shown(entryName)); });
}

void ZipArchive::validateSchema(const std::string& entryName, const File& file) const {
  validateWith(requireState(state_), entryName,
               [&](const XmlValidatorLibXml2& validator) { validator.validate(file.getPath()); });
}
