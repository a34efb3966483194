// A path on the file system with the operations the application needs. A value type; the
// operations touch the file system each time they are called (no caching).
// Thread safety: a File may be used from any thread; concurrent changes of the same path race
// as on the file system itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kest/Export.h"
#include "kolconfig/FileIo.h"

class KEST_EXPORT File {
 public:
  File() = default;
  explicit File(std::string path);
  // parent + "/" + child (no doubled slash).
  File(const File& parent, const std::string& child);
  File(const std::string& parent, const std::string& child);

  const std::string& getPath() const { return path_; }
  // The path made absolute against the current directory, without resolving links.
  std::string getAbsolutePath() const;
  // The last component of the path ("a/b/c.xml" gives "c.xml").
  std::string getName() const;
  File getParentFile() const;

  bool exists() const;
  bool isFile() const;  // a regular file (links followed)
  bool isDirectory() const;
  bool isSymbolicLink() const;
  // Creates the folder and its missing parents. Returns true when the folder exists afterwards.
  bool mkdirs() const;
  // Removes a file, or a folder with its content. Returns true when nothing is left at the path.
  bool remove() const;
  // Copies a regular file to `target` through the durable writer (temporary file beside the
  // target, fsync, rename, fsync of the folder; no fsync when Volatile, for copies into temporary
  // folders). The copy keeps the source's mode. Returns false (target untouched) when the source
  // is missing or any step fails.
  bool copyTo(const File& target, xmldoc::Durability durability = xmldoc::Durability::Durable) const;
  // A read-only snapshot of a regular file at `target` (which must not exist): a hard link when
  // both are on one file system, else a copy as copyTo(target, Volatile). A link is a true
  // snapshot because owned files are only ever replaced by rename, never written in place; the
  // snapshot must be read, not written. Returns false when the source is missing or both fail.
  bool snapshotTo(const File& target) const;
  // Files of the folder whose name ends in "." + extension (all files when empty), sorted by name.
  std::vector<File> listFiles(const std::string& extension = "") const;
  // The names of every entry of this folder except "." and "..", in no particular order; empty
  // when it is no readable folder.
  std::vector<std::string> entryNames() const;
  // Size of a regular file in bytes, 0 when absent.
  uint64_t size() const;
  // Total size in bytes of the regular files below a folder (or of the file itself).
  uint64_t totalSize() const;
  // As totalSize, leaving out everything below `excluded`.
  uint64_t totalSize(const File& excluded) const;
  // Total bytes of the file system that holds this path; 0 when unknown.
  uint64_t fileSystemTotalSpace() const;
  // Reads the whole file into `out`. Returns false on any error.
  bool readAll(std::string* out) const;
  // Replaces the file with `content` through the durable writer (xmldoc::replaceFile): temporary
  // file in the same folder, fsync, rename, fsync of the folder. Returns false (old content intact)
  // on any error; a failed folder flush after the rename is logged and still returns true.
  bool writeAtomically(const std::string& content) const;

  // The system temporary folder ($TMPDIR or "/tmp"). The application's own temporary folders are
  // made by TempFile, in its private folder.
  static File tmpFolder();

  // True for the hidden name of a file that an interrupted write leaves beside its target: the
  // durable writer's ".NAME.tmpXXXXXX" and the zip writer's ".NAME.tmp-..." and ".NAME.part-...".
  // listFiles never returns such files.
  static bool isTemporaryName(const std::string& name);

  bool operator==(const File& other) const { return path_ == other.path_; }
  bool operator<(const File& other) const { return path_ < other.path_; }

 private:
  std::string path_;
};
