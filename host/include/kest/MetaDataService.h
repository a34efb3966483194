// Writes "MetaData.xml": which unit made a result package, when, with which software, and the
// name, size and SHA-256 of each file in it.
// Thread safety: every operation may be called from any thread; the device id is read or created
// once, under deviceIdMutex_.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kest/Export.h"
#include "kest/File.h"

class ZipArchive;
namespace Sarnet_Configuration {
namespace Types {
class TaskIndex;
}
}  // namespace Sarnet_Configuration

// The document (UTF-8, no namespace, not a configuration document):
//   <metaData>
//     <device id="..."/>
//     <time>2024-05-01T12:00:00Z</time>            (UTC)
//     <softwareVersion>19.22.3</softwareVersion>
//     <files>
//       <file name="result.xml" size="123" sha256="(64 lower-case hex digits)"/>
//     </files>
//   </metaData>
// The device id is the first line of the id file (default: DevicePaths::dataFolder() + "/uuid");
// when that file is missing it is created durably from a fresh random UUID of the kernel, so the
// unit keeps one id across boots.
class KEST_EXPORT MetaDataService {
 public:
  // One file described in the document: its name in the package and the file on disk.
  using Item = std::pair<std::string, File>;

  explicit MetaDataService(std::string softwareVersion);
  MetaDataService(std::string softwareVersion, std::string deviceIdFile);
  virtual ~MetaDataService();
  MetaDataService(const MetaDataService&) = delete;
  MetaDataService& operator=(const MetaDataService&) = delete;

  const std::string& getSoftwareVersion() const { return softwareVersion_; }
  // The unit's id; "unknown" when it can neither be read nor created (logged at ERROR once).
  std::string getDeviceId() const;

  // One file as the document describes it: its name in the package, its size and its SHA-256 in
  // lower-case hex.
  struct Description {
    std::string name;
    uint64_t size;
    std::string sha256;
  };

  // The document describing `files` in that order, dated now; no file is written (but the device
  // id file, the first time). Never throws for want of a device id: it then reads "unknown".
  std::string metaDataText(const std::vector<Description>& files) const;

  // Writes <folder>/MetaData.xml describing `items` (replacing an older one by rename; not flushed
  // to the device, as result folders are temporary). Returns the written file. Throws std::runtime_error when a file
  // cannot be read or the document cannot be written (the folder then holds no new MetaData.xml).
  virtual File writeMetaData(const File& folder, const std::vector<Item>& items) const;

  // Describes every regular file below `folder` (names relative to it, sorted, "MetaData.xml" and
  // "index.xml" excluded) in <folder>/MetaData.xml. When `archive` is given, MetaData.xml is also
  // added to it; when `index` is given too, an entry of type VEHICLE_DATA names it (unsigned).
  // Returns the files described. Throws std::runtime_error or ZipException on failure.
  virtual std::vector<File> generateMetaData(const File& folder, ZipArchive* archive = nullptr,
                                             Sarnet_Configuration::Types::TaskIndex* index = nullptr) const;

  // The regular files below `folder` with their names relative to it ("LOGS/a.txt"), sorted by
  // name, without "MetaData.xml" and "index.xml" at the top level. Links are not followed.
  static std::vector<Item> collectFiles(const File& folder);
  // Lower-case hex SHA-256 of a regular file's bytes. Throws std::runtime_error when it cannot be
  // read. The digests of files unchanged for 100 ms are remembered by file identity (a few dozen).
  static std::string sha256Hex(const File& file);
  // As above, for the regular file open as `fd`, read from its start; `fd` stays the caller's.
  static std::string sha256Hex(int fd);
  // Lower-case hex SHA-256 of `bytes`. Throws std::runtime_error when the digest fails.
  static std::string sha256Hex(const std::string& bytes);

 private:
  const std::string softwareVersion_;
  const std::string deviceIdFile_;
  mutable std::mutex deviceIdMutex_;
  mutable std::string deviceId_;  // guarded by deviceIdMutex_; empty until read
};
