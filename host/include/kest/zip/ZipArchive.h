// A zip archive on libzip: task containers opened for reading, result packages created for
// writing. A ZipArchive is a cheap handle: copies share one open archive, and closing through
// any copy closes it for all. A default-constructed handle is the null archive.
// Thread safety: one mutex in the shared state (State::mutex) guards the libzip handle, the mode
// and the list of added entries, so copies may be used from different threads; the operations of
// one archive run one at a time. The size limits are atomics, settable at any time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kest/security/FileDecryptor.h"
#include "kest/security/FileEncryptor.h"
#include "kest/security/SecurityException.h"
#include "kest/security/SignatureGenerator.h"
#include "kest/security/SignatureValidator.h"
#include "kest/zip/ZipException.h"
#include "kolconfig/XmlDoc.h"

// Extraction never trusts the archive:
// - an entry name that is empty, absolute, holds a ".." component, names a folder or resolves
//   outside the extraction folder is refused, and so is an entry stored as a symbolic link;
// - an entry is written only while it stays within its declared size and within the disk-space
//   ceiling (and the free space of the target file system), so a zip bomb ends in a ZipException;
// - the bytes go to a temporary file beside the target that is decrypted, validated and committed
//   (xmldoc::commitFile: flushed and renamed into place) only when everything succeeded: a refused
//   entry leaves nothing behind (a document that extractXML reads from its own temporary folder
//   is not flushed);
// - the task description is refused from its declared size alone beyond kMaxIndexSize.
// A written archive goes to a hidden temporary name in the target's folder (".NAME.tmp-XXXXXX"),
// is signed, and is committed by the durable writer when close() succeeds, so its final name
// never shows a partial file. Its entries are deflated at the fastest level: a result package is
// written once per job and read rarely, so CPU time matters more than a few bytes.
class KEST_EXPORT ZipArchive {
 public:
  static constexpr uint64_t kDefaultDiskSpaceCeiling = 64ull * 1024 * 1024;
  // Documents read by extractXML are refused beyond this size (the schema of this unit has no
  // document near it; a bigger one is an attack on memory).
  static constexpr uint64_t kDefaultMaxDocumentSize = 16ull * 1024 * 1024;
  // The task description (entry DevicePaths::kIndexFileName) is refused before extraction when it
  // declares more than this many bytes: no valid description comes near it.
  static constexpr uint64_t kMaxIndexSize = 2ull * 1024 * 1024;
  // extractXML reads a document of at most this many bytes into memory instead of a temporary
  // file when nothing decrypts or checks it.
  static constexpr uint64_t kMaxDocumentInMemory = 1024ull * 1024;

  // The null archive: every operation but isNull(), isOpen() and getPath() throws
  // ZipException(kInvalidState).
  ZipArchive() = default;

  // Opens the archive at `path` for reading. The file is opened relative to its folder without
  // following a symbolic link in its last component or in its folder's own name, and only when it is a regular file (a
  // link, folder, FIFO or device is refused without being read). `schemaValidator` validates extracted documents
  // (validateSchema); null means an XmlValidatorLibXml2 on the device schema. `diskSpaceCeiling` bounds every extracted
  // entry. Throws ZipException(kCannotOpen) when the file is missing, not a regular file, not a zip, or truncated.
  static ZipArchive openForReading(const std::string& path,
                                   std::shared_ptr<const XmlValidatorLibXml2> schemaValidator = nullptr,
                                   uint64_t diskSpaceCeiling = kDefaultDiskSpaceCeiling);
  // As openForReading(folder + "/" + name), where `name` must be a plain file name (no '/').
  static ZipArchive openInFolder(const std::string& folder, const std::string& name,
                                 std::shared_ptr<const XmlValidatorLibXml2> schemaValidator = nullptr,
                                 uint64_t diskSpaceCeiling = kDefaultDiskSpaceCeiling);

  // Reading: gives back the libzip handle and its file descriptor; the next operation that reads
  // reopens the same file (same device and inode; a file replaced meanwhile is refused with
  // ZipException(kCannotOpen)). So any number of archives may wait without holding descriptors.
  // Does nothing for the null, a written or a closed archive.
  void suspend();
  // True while an archive opened for reading holds its descriptor (not suspended, not closed).
  bool holdsHandle() const;
  // True when `st` describes the file an archive opened for reading (same device and inode), also
  // once it is suspended or closed. False for the null or a written archive.
  bool isSameFile(const struct stat& st) const;
  // Starts a new archive that close() writes to `path`, replacing an existing file atomically.
  // Nothing appears at `path` before close() succeeds.
  // Throws ZipException(kCannotOpen) when the folder of `path` does not exist or is not writable.
  static ZipArchive create(const std::string& path);

  bool isNull() const { return state_ == nullptr; }
  // True for a non-null archive that is not closed yet.
  bool isOpen() const;
  bool isWritable() const;
  // The archive's (final) path; empty for the null archive.
  const std::string& getPath() const;

  void setDiskSpaceCeiling(uint64_t bytes);
  uint64_t getDiskSpaceCeiling() const;
  void setMaxDocumentSize(uint64_t bytes);
  uint64_t getMaxDocumentSize() const;

  // ---- reading
  // Names of the entries in archive order (read mode), or as added (write mode).
  std::vector<std::string> getEntryNames() const;
  bool hasEntry(const std::string& entryName) const;
  // Sum of the declared uncompressed sizes of all entries (read mode), or of the sizes of the
  // files added so far (write mode).
  uint64_t getUncompressedSize() const;
  // Declared uncompressed size of one entry. Throws ZipException(kEntryRefused) when absent.
  uint64_t getUncompressedSize(const std::string& entryName) const;

  // Extracts `entryName` into `folder` (created when missing) under `targetName` (a relative
  // name; may hold subfolders), through `decryptor` and then `validator`. Returns the written
  // file; an existing file of that name is replaced atomically.
  // Throws ZipException (refused name or link, missing entry, size limits, corrupt data, write
  // failure; nothing written) or SecurityException "File cannot be extracted for security
  // reasons: " + entry + " (" + reason + ")" (nothing written).
  // REQUIRES: opened for reading.
  File extract(const std::string& entryName, const File& folder, const std::string& targetName,
               const Security::FileDecryptor& decryptor, const Security::SignatureValidator& validator) const;

  // Extracts `entryName` and reads it as a configuration document whose content is T (or
  // derived). The entry goes to a fresh temporary folder that is removed before returning, or
  // to `decompressedPath` (a file path, kept) when given; an entry of at most
  // kMaxDocumentInMemory bytes that a pass-through decryptor and an accept-all validator would
  // leave as it is goes to memory instead, with the same checks. Returns the document, owned by the
  // caller; with `onlyExtract` the entry is only extracted to `decompressedPath` and null is
  // returned (without `decompressedPath`: ERROR "Failed to specify decompressedPath with
  // onlyExtract option" and null).
  // Throws:
  // - ZipException(-2) "Cannot extract the XML item " + entry + " from archive " + path when
  //   the entry cannot be extracted (the cause is logged at ERROR);
  // - ZipException(-1) "XML file failed schema validation ..." (validateSchema);
  // - ZipException(-1) with the "Cannot extract the XML item " text when the document does not
  //   parse or is not a T, after ERROR "Cannot load XML file : " + entry + " from archive: " +
  //   reason;
  // - SecurityException "File cannot be extracted for security reasons: ..." from the decryptor
  //   or validator.
  // REQUIRES: opened for reading.
  template <class T>
  xmldoc::DocumentPtr<T> extractXML(const std::string& entryName, const Security::FileDecryptor& decryptor,
                                    const Security::SignatureValidator& validator, bool onlyExtract = false,
                                    const std::string& decompressedPath = "") const;

  // Validates an extracted document against the schema. Throws ZipException(-1) "XML file failed
  // schema validation " + entry + ": " + reason.
  void validateSchema(const std::string& entryName, const File& file) const;

  // ---- writing
  // Adds the file at `source` as `entryName` (replacing an entry of that name). The file is
  // opened now: it may be removed before close(). A non-pass-through encryptor writes the
  // encrypted form to a staging file owned by the archive.
  // Throws ZipException (unsafe name, unreadable or non-regular source, libzip failure) or
  // SecurityException from the encryptor; the archive is unchanged then.
  // REQUIRES: created for writing and not closed.
  void addFile(const std::string& entryName, const File& source,
               const Security::FileEncryptor& encryptor = Security::FileEncryptor());
  // Adds the content of the open regular file `fd`, read from its start, unencrypted as
  // `entryName` (replacing an entry of that name), exactly as addFile adds the file `fd` is open
  // on: a file replaced by rename or removed after it was opened still gives the bytes it held.
  // `fd` stays the caller's and may be closed once this returns.
  // Throws ZipException (unsafe name, `fd` not open on a readable regular file, libzip failure);
  // the archive is unchanged then.
  // REQUIRES: created for writing and not closed.
  void addOpenFile(const std::string& entryName, int fd);
  // Adds `bytes` unencrypted as `entryName` (replacing an entry of that name), exactly as addFile
  // adds a file of these bytes written now by this process: modification time `mtime`, and the
  // permission bits `permissions` of a regular file (0: those of a file created under the
  // process's umask). No file is written.
  // Throws ZipException (unsafe name, libzip failure); the archive is unchanged then.
  // REQUIRES: created for writing and not closed.
  void addBytes(const std::string& entryName, const std::string& bytes, time_t mtime, mode_t permissions = 0);

  // Finishes the archive. Reading: releases it. Writing: writes the archive to its temporary
  // name, flushes it, and renames it to getPath(); with a non-empty generator the Base64
  // signature of the finished package is first written durably beside it as getPath() + ".sig".
  // Throws ZipException(kWriteFailure) when writing fails (nothing at getPath() changes, the
  // temporary file is removed) or when no entry was added. The archive is closed afterwards in
  // every case; closing a closed archive does nothing.
  void close(const Security::SignatureGenerator& generator = Security::SignatureGenerator());

  // The decryptor and validator that change nothing and accept everything.
  static const Security::FileDecryptor& nonDecryptor();
  static const Security::SignatureValidator& nonValidator();

  // The state shared by the copies of one archive; opaque outside the ZipArchive sources.
  struct State;

 private:
  explicit ZipArchive(std::shared_ptr<State> state) : state_(std::move(state)) {}

  // Extracts an XML item for extractXML: steps up to and including schema validation. Returns
  // false when nothing is to be parsed (onlyExtract). The document is then in `text` when `file`
  // stays empty, else in `file`; `temporary` receives the temporary folder to keep alive while
  // the caller parses it.
  bool prepareXml(const std::string& entryName, const Security::FileDecryptor& decryptor,
                  const Security::SignatureValidator& validator, bool onlyExtract, const std::string& decompressedPath,
                  std::unique_ptr<TempFile>* temporary, File* file, std::string* text) const;
  // validateSchema for a document in memory.
  void validateSchemaText(const std::string& entryName, const std::string& text) const;
  // Logs the parse failure and builds the exception extractXML throws for it.
  ZipException documentFailure(const std::string& entryName, const std::string& reason) const;

  std::shared_ptr<State> state_;
};

template <class T>
xmldoc::DocumentPtr<T> ZipArchive::extractXML(const std::string& entryName, const Security::FileDecryptor& decryptor,
                                              const Security::SignatureValidator& validator, bool onlyExtract,
                                              const std::string& decompressedPath) const {
  std::unique_ptr<TempFile> temporary;
  File file;
  std::string text;
  if (!prepareXml(entryName, decryptor, validator, onlyExtract, decompressedPath, &temporary, &file, &text)) {
    return nullptr;
  }
  try {
    return file.getPath().empty() ? xmldoc::parseString<T>(text) : xmldoc::parseFile<T>(file.getPath());
  } catch (const std::exception& e) {
    throw documentFailure(entryName, e.what());
  }
}
