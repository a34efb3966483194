// The base of the tasks that run backend jobs: it owns the job's description, gives each report a
// fresh result folder, packs the results into one result package in the outbox and tells the
// backend ("TaskStatus", then "ResultPlaced").
// Thread safety: a task is used by one thread at a time (the queue's worker); it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kest/BackendAdapterIpcCommunicator.h"
#include "kest/Export.h"
#include "kest/File.h"
#include "kest/Task.h"
#include "kest/TempFile.h"
#include "kest/security/FileDecryptor.h"
#include "kest/security/FileEncryptor.h"
#include "kest/security/SignatureGenerator.h"
#include "kest/security/SignatureValidator.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

class ExtensionServices;
namespace Security {
class SecurityService;
}

// The result package of a report is one zip in getOutboxFolder() named
// getModuleName() + "_" + task id + "_" + UTC time + ".zip" (see getResultPackage). It holds
// "index.xml" (a TaskIndex: one entry per other file, typed by getFileType, listed under the
// security service's mapped name and signed with the device key when the unit has one),
// "result.xml", "MetaData.xml" (when a metadata service is offered) and the other files of the
// result folder under their names relative to it. It is written under a hidden temporary name and
// renamed into place, so the outbox never shows a partial package.
class KEST_EXPORT CtpTask : public Task {
 public:
  using ElementType = Sarnet_Configuration::Types::ElementType::Enum;
  using FileTypeList = std::vector<std::pair<File, ElementType>>;
  using DescriptionPtr = xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskDescription>;

  // Takes ownership of `description`, which may be null.
  explicit CtpTask(DescriptionPtr description);
  ~CtpTask() override;
  CtpTask(const CtpTask&) = delete;
  CtpTask& operator=(const CtpTask&) = delete;

  // The description's taskId; empty without a description.
  std::string getID() const override;
  // The taskId as log lines show it: at most kMaxLoggedIdBytes bytes of it, then
  // "...[N bytes]" (N: the id's full size). Never copies a longer id whole: an id from a container
  // may be megabytes long.
  std::string getIDForLog() const;
  static constexpr size_t kMaxLoggedIdBytes = 128;
  // The description, owned by the task; null when it has none.
  const Sarnet_Configuration::Types::TaskDescription* getDescription() const { return description_.get(); }

  // The services used for security, metadata and IPC; null is allowed (then nothing is signed,
  // no metadata is written and nothing is announced). The task shares ownership.
  void setExtensionServices(std::shared_ptr<ExtensionServices> services);
  ExtensionServices* getExtensionServices() const { return services_.get(); }
  // The security service of the extension services; null when there is none.
  Security::SecurityService* getSecurityService() const;
  // The communicator that reports to the backend; null: reports are only logged.
  virtual void setBackendAdapterCommunicator(std::shared_ptr<BackendAdapterCommunicatorIF> communicator);
  // False: containers of this unit need not be encrypted.
  virtual bool isMissingMandatoryEncryption() const { return false; }

  // Fills `info`: success, errorType, and errorMessage when `message` is not empty.
  // Does nothing when `info` is null.
  virtual void populateErrorInfo(Sarnet_Configuration::Types::ErrorInfo* info, bool success, int errorType,
                                 const std::string& message) const;
  // Writes the unit's data about this report into `folder`: "MetaData.xml" describing the files
  // of the folder (through the metadata service; nothing without one). Throws on write failures.
  virtual void createVehicleData(const File& folder);
  // createVehicleData, then adds "MetaData.xml" to `archive` with its entry in `index`.
  // Throws ZipException on failure.
  virtual void generateVehicleData(const File& folder, ZipArchive& archive,
                                   Sarnet_Configuration::Types::TaskIndex& index);
  // Writes "MetaData.xml" describing `files` (named relative to `folder`, else by file name) into
  // `folder` and adds it to `archive` with its entry in `index`. Nothing without a metadata
  // service. Throws ZipException or std::runtime_error on failure.
  virtual void generateMetaData(const FileTypeList& files, const File& folder, ZipArchive& archive,
                                Sarnet_Configuration::Types::TaskIndex& index);
  // The package name (no folder, no ".zip") for the report collected in `resultFolder`:
  // getModuleName() + "_" + idForPackageName(task id) + "_" + UTC "YYYYMMDDTHHMMSS-mmm".
  // Asking again for the same folder gives the same name.
  virtual std::string getResultPackage(const std::string& resultFolder);
  // The task id as it appears in package names, a safe file name part of at most
  // kMaxIdInPackageName characters drawn from A-Z, a-z, 0-9, '.' and '-': "none" for an empty id;
  // the id itself when it is that already; otherwise the id with every other character replaced
  // by '-', cut to 47 characters, then '-' and 16 hex digits of a hash of the full id.
  static std::string idForPackageName(const std::string& id);
  static constexpr size_t kMaxIdInPackageName = 64;
  // Writes the task's result files into `folder`. Does nothing here; kinds override it.
  virtual void createTaskResults(const File& /*folder*/, bool /*success*/) {}
  // DevicePaths::outboxFolder().
  virtual std::string getOutboxFolder() const;
  // "TASK".
  virtual std::string getModuleName() const;
  // Default collection: createTaskResults(folder, success), then packs the folder into the
  // package (see the class comment) and announces it (notifyResultPackage).
  // Throws ZipException, SecurityException or std::runtime_error when no package can be made;
  // the outbox is then unchanged.
  virtual void collectResults(const File& folder, bool success);
  // Adds every file of `folder` (as collected by MetaDataService::collectFiles) to `archive` under
  // its relative name, through the security service's encryptor; no index entries.
  virtual void addFolder(ZipArchive& archive, const File& folder);
  // Packs `folder` with an "error.txt" holding `message` into a package and announces it. Logs
  // the message and any packaging failure at ERROR; never throws.
  virtual void reportErrorPackage(const File& folder, const std::string& message);
  // "result.xml": TASK_RESULT; "MetaData.xml": VEHICLE_DATA; "index.xml": INDEX; any other
  // name: DATA_FILE. The comparison of the file name is exact.
  virtual ElementType getFileType(const File& file) const;
  // Makes a fresh result folder, calls collectResults, then sends "TaskStatus" (status 0 when
  // `success` and the package was made, 1 otherwise) and "ResultPlaced" naming the package (when
  // one was made), and removes the result folder. Never throws: failures are logged at ERROR.
  virtual void reportResults(bool success);
  // getID().
  virtual std::string getJobID() const;
  // The description (the job's configuration); null when the task has none.
  virtual const Sarnet_Configuration::Types::TaskDescription* getJobConfiguration() const;

  // The folder of the report in progress; an empty File outside reportResults.
  const File& getResultFolder() const { return resultFolder_; }

  // Announces the package at `path` to the backend: during reportResults the announcement is sent
  // when the report ends (after "TaskStatus"); otherwise at once.
  void notifyResultPackage(const std::string& path);

  // The security service's decryptor; pass-through without a service.
  static Security::FileDecryptor getFileDecryptor(Security::SecurityService* security);
  // A validator checking the entry's signature with the certificate of slot `keyNumber`; accepts
  // everything without a security service. REQUIRES: `security` outlives the validator.
  static Security::SignatureValidator getSignatureValidator(const Sarnet_Configuration::Types::TaskIndexEntry& entry,
                                                            Security::SecurityService* security, int keyNumber);
  // The security service's encryptor; pass-through without a service.
  static Security::FileEncryptor getFileEncryptor(Security::SecurityService* security);
  static Security::FileEncryptor getPassThruFileEncryptor();
  // Signs with the device key; an empty generator without a service.
  // REQUIRES: `security` outlives the generator.
  static Security::SignatureGenerator getSignatureGenerator(Security::SecurityService* security);
  // The name on disk of the file an index entry names.
  static std::string getFileNameOnDisk(const Sarnet_Configuration::Types::TaskIndexEntry& entry,
                                       Security::SecurityService* security);

 protected:
  // Adds `file` to `archive` as `entryName` (through the security service's encryptor) and
  // appends its entry to `index`: the type, the mapped name and the device signature (absent
  // when nothing signs). Throws ZipException or SecurityException (index unchanged).
  void addIndexedFile(ZipArchive& archive, Sarnet_Configuration::Types::TaskIndex& index, const File& file,
                      const std::string& entryName, ElementType type);
  // Adds `index` to `archive` unencrypted as "index.xml", from memory (no file is written).
  // Throws XPlus::Exception or ZipException on failure.
  void addIndex(ZipArchive& archive, const Sarnet_Configuration::Types::TaskIndex& index);
  // Packs the files of `folder` into a new package in the outbox (see the class comment) and
  // announces it. Returns the package path. Throws as collectResults.
  std::string packageFolder(const File& folder);
  // Keeps `bytes` as the result file `name` (a plain file name) of `folder` in memory instead of a
  // file, to be packed as if it were written now with mode 0644 (what the durable writer gives).
  // Returns true when kept: `folder` is the one the default collection (collectResults) is
  // filling and its entries are neither encrypted nor signed. Returns false otherwise; the caller
  // then writes the file.
  bool holdResultFile(const File& folder, const std::string& name, const std::string& bytes);
  // Keeps the regular file `source` open as the result file `name` (a plain file name) of
  // `folder`, to be packed with the bytes it holds now: a file its owner only ever replaces by
  // rename may be replaced or removed meanwhile, and `source` itself is not touched (no link
  // changes its status). Returns true when kept: as holdResultFile, and `source` opened as a
  // regular file (not through a symbolic link). Returns false otherwise; the caller then makes
  // the snapshot file itself.
  bool holdResultSnapshot(const File& folder, const std::string& name, const File& source);

 private:
  // A result file kept by holdResultFile (its bytes) or holdResultSnapshot (the open source file).
  struct HeldFile {
    std::string name;
    std::string bytes;                               // empty for a snapshot
    time_t mtime;                                    // of the bytes
    std::shared_ptr<const xmldoc::UniqueFd> source;  // null for bytes
  };
  // One file of a package: from the result folder (`held` null) or held in memory.
  struct PackageItem {
    std::string name;
    File file;
    const HeldFile* held;
  };

  // True when result files can be packed from memory: entries pass through unencrypted and no
  // device key signs them.
  bool packsFromMemory() const;
  // True when `name` of `folder` may be held: see holdResultFile.
  bool mayHold(const File& folder, const std::string& name) const;
  // Keeps `held`, replacing a held file of the same name.
  void keep(HeldFile held);
  // The files of `folder` and, when `folder` is the held folder, the held files (which win over a
  // file of the same name): "result.xml" first, then the others in name order.
  std::vector<PackageItem> packageItems(const File& folder) const;
  // Adds `held` as `entryName` (bytes: mode 0644, time `held.mtime`; a snapshot: as its file),
  // unencrypted and unsigned, with its index entry. Throws ZipException (index unchanged).
  void addIndexedHeld(ZipArchive& archive, Sarnet_Configuration::Types::TaskIndex& index, const std::string& entryName,
                      const HeldFile& held, ElementType type);
  // Appends the index entry of `entryName` (its type and mapped name, unsigned) and returns it,
  // owned by `index`.
  Sarnet_Configuration::Types::TaskIndexEntry* appendIndexEntry(Sarnet_Configuration::Types::TaskIndex& index,
                                                                const std::string& entryName, ElementType type) const;
  // Adds `bytes` as `entryName` (mode 0644, time `mtime`, unencrypted and unsigned) with its index
  // entry. Throws ZipException (index unchanged).
  void addIndexedBytes(ZipArchive& archive, Sarnet_Configuration::Types::TaskIndex& index, const std::string& entryName,
                       const std::string& bytes, time_t mtime, ElementType type);
  // As generateMetaData for `items` of `folder`, with "MetaData.xml" made in memory.
  // REQUIRES: the extension services offer a metadata service.
  void addMetaDataFromMemory(const File& folder, const std::vector<PackageItem>& items, ZipArchive& archive,
                             Sarnet_Configuration::Types::TaskIndex& index);
  void sendTaskStatus(bool success);

  DescriptionPtr description_;
  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<BackendAdapterCommunicatorIF> communicator_;
  File resultFolder_;                // set during reportResults only
  bool reporting_ = false;           // inside reportResults
  std::string announcedPackage_;     // package announced during the report in progress
  std::string packageFolderKey_;     // result folder the package name was made for
  std::string packageName_;          // name given by getResultPackage for packageFolderKey_
  File heldFolder_;                  // folder whose result files may be held; empty outside collectResults
  std::vector<HeldFile> heldFiles_;  // result files of heldFolder_ kept in memory
};
