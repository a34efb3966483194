// CtpTask: result folders, result packages and their announcement to the backend.
#include "kest/task/CtpTask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <stdexcept>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/MetaDataService.h"
#include "kest/security/SecurityService.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// The mode the durable writer gives the result files it writes; files packed from memory get it too.
constexpr mode_t kResultFileMode = 0644;

std::string packageTime() {
  struct timeval now;
  ::gettimeofday(&now, nullptr);
  std::tm tm{};
  const std::time_t seconds = now.tv_sec;
  ::gmtime_r(&seconds, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%S", &tm);
  char millis[24];
  std::snprintf(millis, sizeof millis, "-%03ld", static_cast<long>(now.tv_usec / 1000));
  return std::string(buffer) + millis;
}

// The name of `file` relative to `folder` when it lies below it, else its own name.
std::string nameInFolder(const File& file, const File& folder) {
  const std::string prefix = folder.getPath() + "/";
  const std::string& path = file.getPath();
  if (path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size()) return path.substr(prefix.size());
  return file.getName();
}

}  // namespace

CtpTask::CtpTask(DescriptionPtr description) : description_(std::move(description)) {}

CtpTask::~CtpTask() = default;

std::string CtpTask::getID() const {
  if (description_ == nullptr || !description_->has_taskId()) return std::string();
  return description_->get_taskId();
}

std::string CtpTask::getIDForLog() const {
  if (description_ == nullptr || !description_->has_taskId()) return std::string();
  return ApplicationLogger::shortened(description_->get_taskId(), kMaxLoggedIdBytes);
}

void CtpTask::setExtensionServices(std::shared_ptr<ExtensionServices> services) { services_ = std::move(services); }

Security::SecurityService* CtpTask::getSecurityService() const {
  return services_ == nullptr ? nullptr : services_->getSecurityService();
}

void CtpTask::setBackendAdapterCommunicator(std::shared_ptr<BackendAdapterCommunicatorIF> communicator) {
  communicator_ = std::move(communicator);
}

void CtpTask::populateErrorInfo(Types::ErrorInfo* info, bool success, int errorType, const std::string& message) const {
  if (info == nullptr) return;
  info->set_success(success);
  info->set_errorType(errorType);
  if (message.empty()) {
    info->clear_errorMessage();
  } else {
    info->set_errorMessage(message);
  }
}

void CtpTask::createVehicleData(const File& folder) {
  MetaDataService* metaData = services_ == nullptr ? nullptr : services_->getMetaDataService();
  if (metaData == nullptr) return;
  metaData->generateMetaData(folder);
}

void CtpTask::generateVehicleData(const File& folder, ZipArchive& archive, Types::TaskIndex& index) {
  createVehicleData(folder);
  const File metaDataFile(folder, DevicePaths::kMetaDataFileName);
  if (!metaDataFile.isFile()) return;
  addIndexedFile(archive, index, metaDataFile, DevicePaths::kMetaDataFileName, getFileType(metaDataFile));
}

void CtpTask::generateMetaData(const FileTypeList& files, const File& folder, ZipArchive& archive,
                               Types::TaskIndex& index) {
  MetaDataService* metaData = services_ == nullptr ? nullptr : services_->getMetaDataService();
  if (metaData == nullptr) {
    ZEM_DEBUG("No metadata service: the result package of task " << getIDForLog() << " has no "
                                                                 << DevicePaths::kMetaDataFileName);
    return;
  }
  std::vector<MetaDataService::Item> items;
  items.reserve(files.size());
  for (const auto& file : files) items.emplace_back(nameInFolder(file.first, folder), file.first);
  const File written = metaData->writeMetaData(folder, items);
  addIndexedFile(archive, index, written, DevicePaths::kMetaDataFileName, getFileType(written));
}

std::string CtpTask::idForPackageName(const std::string& id) {
  if (id.empty()) return "none";
  std::string out = id;
  bool replaced = false;
  for (char& c : out) {
    const bool keep =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!keep) {
      c = '-';
      replaced = true;
    }
  }
  if (!replaced && out.size() <= kMaxIdInPackageName) return out;
  // FNV-1a over the full id: ids that differ only in replaced or cut characters get different names.
  uint64_t hash = 14695981039346656037ull;
  for (const char c : id) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return out.substr(0, kMaxIdInPackageName - 17) + "-" + hex;
}

std::string CtpTask::getResultPackage(const std::string& resultFolder) {
  if (packageName_.empty() || packageFolderKey_ != resultFolder) {
    packageFolderKey_ = resultFolder;
    packageName_ = getModuleName() + "_" + idForPackageName(getID()) + "_" + packageTime();
  }
  return packageName_;
}

std::string CtpTask::getOutboxFolder() const { return DevicePaths::outboxFolder(); }

std::string CtpTask::getModuleName() const { return "TASK"; }

void CtpTask::collectResults(const File& folder, bool success) {
  // The result files this collection makes are packed from memory when nothing encrypts or signs
  // them: a file written only to be read back costs an inode per job.
  heldFolder_ = packsFromMemory() ? folder : File();
  heldFiles_.clear();
  createTaskResults(folder, success);
  packageFolder(folder);
}

bool CtpTask::packsFromMemory() const {
  Security::SecurityService* const security = getSecurityService();
  return security == nullptr || (getFileEncryptor(security).isPassThrough() && !security->getDeviceKeyFile().isFile());
}

bool CtpTask::mayHold(const File& folder, const std::string& name) const {
  return !heldFolder_.getPath().empty() && folder == heldFolder_ && name.find('/') == std::string::npos;
}

void CtpTask::keep(HeldFile held) {
  for (HeldFile& kept : heldFiles_) {
    if (kept.name == held.name) {
      kept = std::move(held);
      return;
    }
  }
  heldFiles_.push_back(std::move(held));
}

bool CtpTask::holdResultFile(const File& folder, const std::string& name, const std::string& bytes) {
  if (!mayHold(folder, name)) return false;
  keep(HeldFile{name, bytes, ::time(nullptr), nullptr});
  return true;
}

bool CtpTask::holdResultSnapshot(const File& folder, const std::string& name, const File& source) {
  if (!mayHold(folder, name)) return false;
  auto fd = std::make_shared<const xmldoc::UniqueFd>(
      ::open(source.getPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  struct stat st {};
  if (!fd->valid() || ::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  keep(HeldFile{name, std::string(), st.st_mtime, std::move(fd)});
  return true;
}

std::vector<CtpTask::PackageItem> CtpTask::packageItems(const File& folder) const {
  const bool withHeld = !heldFolder_.getPath().empty() && folder == heldFolder_;
  std::vector<PackageItem> items;
  for (MetaDataService::Item& item : MetaDataService::collectFiles(folder)) {
    const auto heldToo = [&](const HeldFile& held) { return held.name == item.first; };
    if (withHeld && std::any_of(heldFiles_.begin(), heldFiles_.end(), heldToo)) continue;
    items.push_back(PackageItem{std::move(item.first), std::move(item.second), nullptr});
  }
  if (withHeld) {
    for (const HeldFile& held : heldFiles_) items.push_back(PackageItem{held.name, File(folder, held.name), &held});
  }
  std::sort(items.begin(), items.end(), [](const PackageItem& a, const PackageItem& b) { return a.name < b.name; });
  // result.xml leads the index; the other files follow in name order.
  std::stable_partition(items.begin(), items.end(),
                        [](const PackageItem& item) { return item.name == DevicePaths::kResultFileName; });
  return items;
}

void CtpTask::addFolder(ZipArchive& archive, const File& folder) {
  const Security::FileEncryptor encryptor = getFileEncryptor(getSecurityService());
  for (const MetaDataService::Item& item : MetaDataService::collectFiles(folder)) {
    archive.addFile(item.first, item.second, encryptor);
  }
}

void CtpTask::reportErrorPackage(const File& folder, const std::string& message) {
  ZEM_ERROR(message);
  try {
    if (!folder.mkdirs() || !File(folder, "error.txt").writeAtomically(message + "\n")) {
      throw std::runtime_error("cannot write error.txt into " + folder.getPath());
    }
    packageFolder(folder);
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot report the error package of task " << getIDForLog() << ": " << e.what());
  }
}

CtpTask::ElementType CtpTask::getFileType(const File& file) const {
  const std::string name = file.getName();
  if (name == DevicePaths::kResultFileName) return Types::ElementType::TASK_RESULT;
  if (name == DevicePaths::kMetaDataFileName) return Types::ElementType::VEHICLE_DATA;
  if (name == DevicePaths::kIndexFileName) return Types::ElementType::INDEX;
  return Types::ElementType::DATA_FILE;
}

void CtpTask::reportResults(bool success) {
  std::unique_ptr<TempFile> folder;
  try {
    folder = std::make_unique<TempFile>("result");
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot create the result folder of task " << getIDForLog() << ": " << e.what());
    sendTaskStatus(false);
    return;
  }
  resultFolder_ = folder->getFile();
  reporting_ = true;
  announcedPackage_.clear();
  packageName_.clear();
  bool packaged = true;
  try {
    collectResults(resultFolder_, success);
  } catch (const std::exception& e) {
    packaged = false;
    ZEM_ERROR("Cannot collect the results of task " << getIDForLog() << ": " << e.what());
  }
  // A kind that built its own package without announcing it still gets it announced.
  if (announcedPackage_.empty() && !packageName_.empty() && packageFolderKey_ == resultFolder_.getPath()) {
    const File package(File(getOutboxFolder()), packageName_ + ".zip");
    if (package.isFile()) announcedPackage_ = package.getPath();
  }
  if (announcedPackage_.empty()) packaged = false;
  reporting_ = false;
  const std::string location = announcedPackage_;
  announcedPackage_.clear();
  resultFolder_ = File();
  heldFolder_ = File();
  heldFiles_.clear();
  folder.reset();  // removes the result folder

  sendTaskStatus(success && packaged);
  if (!location.empty()) {
    if (communicator_ == nullptr) {
      ZEM_DEBUG("No backend communicator: result package " << location << " is not announced");
    } else if (!communicator_->sendResultPlaced(location)) {
      ZEM_ERROR("Cannot announce result package " << location);
    }
  }
}

std::string CtpTask::getJobID() const { return getID(); }

const Types::TaskDescription* CtpTask::getJobConfiguration() const { return description_.get(); }

void CtpTask::notifyResultPackage(const std::string& path) {
  ZEM_INFO("Result package of task " << getIDForLog() << " placed at " << path);
  if (reporting_) {
    announcedPackage_ = path;
    return;
  }
  if (communicator_ != nullptr && !communicator_->sendResultPlaced(path)) {
    ZEM_ERROR("Cannot announce result package " << path);
  }
}

Security::FileDecryptor CtpTask::getFileDecryptor(Security::SecurityService* security) {
  return security == nullptr ? Security::FileDecryptor() : security->getFileDecryptor();
}

Security::SignatureValidator CtpTask::getSignatureValidator(const Types::TaskIndexEntry& entry,
                                                            Security::SecurityService* security, int keyNumber) {
  if (security == nullptr) return Security::SignatureValidator();
  return security->getSignatureValidator(entry.has_signature() ? entry.get_signature() : std::string(), keyNumber);
}

Security::FileEncryptor CtpTask::getFileEncryptor(Security::SecurityService* security) {
  return security == nullptr ? Security::FileEncryptor() : security->getFileEncryptor();
}

Security::FileEncryptor CtpTask::getPassThruFileEncryptor() { return Security::FileEncryptor(); }

Security::SignatureGenerator CtpTask::getSignatureGenerator(Security::SecurityService* security) {
  return security == nullptr ? Security::SignatureGenerator() : security->getSignatureGenerator();
}

std::string CtpTask::getFileNameOnDisk(const Types::TaskIndexEntry& entry, Security::SecurityService* security) {
  return security == nullptr ? entry.get_file() : security->getFileNameOnDisk(entry.get_file());
}

void CtpTask::addIndexedFile(ZipArchive& archive, Types::TaskIndex& index, const File& file,
                             const std::string& entryName, ElementType type) {
  Security::SecurityService* const security = getSecurityService();
  archive.addFile(entryName, file, getFileEncryptor(security));
  const std::string signature = security == nullptr ? std::string() : security->signFile(file, 1);
  auto* entry = appendIndexEntry(index, entryName, type);
  if (!signature.empty()) entry->set_signature(signature);
}

void CtpTask::addIndex(ZipArchive& archive, const Types::TaskIndex& index) {
  // Straight from memory: the entry is what a file of the index written now would give.
  archive.addBytes(DevicePaths::kIndexFileName, xmldoc::toString(index), ::time(nullptr));
}

std::string CtpTask::packageFolder(const File& folder) {
  const File outbox(getOutboxFolder());
  if (!outbox.mkdirs()) throw std::runtime_error("Cannot create the outbox " + outbox.getPath());
  const File package(outbox, getResultPackage(folder.getPath()) + ".zip");
  ZipArchive archive = ZipArchive::create(package.getPath());
  auto index = xmldoc::createDocument<Types::TaskIndex>();

  const std::vector<PackageItem> items = packageItems(folder);
  FileTypeList files;
  files.reserve(items.size());
  bool anyHeld = false;
  for (const PackageItem& item : items) {
    const ElementType type = getFileType(item.file);
    if (item.held != nullptr) {
      anyHeld = true;
      addIndexedHeld(archive, *index, item.name, *item.held, type);
    } else {
      addIndexedFile(archive, *index, item.file, item.name, type);
    }
    files.emplace_back(item.file, type);
  }
  if (anyHeld && services_ != nullptr && services_->getMetaDataService() != nullptr) {
    addMetaDataFromMemory(folder, items, archive, *index);
  } else {
    generateMetaData(files, folder, archive, *index);
  }
  addIndex(archive, *index);
  archive.close();
  notifyResultPackage(package.getPath());
  return package.getPath();
}

void CtpTask::addIndexedHeld(ZipArchive& archive, Types::TaskIndex& index, const std::string& entryName,
                             const HeldFile& held, ElementType type) {
  if (held.source != nullptr) {
    archive.addOpenFile(entryName, held.source->get());
  } else {
    archive.addBytes(entryName, held.bytes, held.mtime, kResultFileMode);
  }
  appendIndexEntry(index, entryName, type);
}

void CtpTask::addIndexedBytes(ZipArchive& archive, Types::TaskIndex& index, const std::string& entryName,
                              const std::string& bytes, time_t mtime, ElementType type) {
  archive.addBytes(entryName, bytes, mtime, kResultFileMode);
  appendIndexEntry(index, entryName, type);
}

Types::TaskIndexEntry* CtpTask::appendIndexEntry(Types::TaskIndex& index, const std::string& entryName,
                                                 ElementType type) const {
  Security::SecurityService* const security = getSecurityService();
  auto* entry = index.add_node_taskIndexEntry();
  entry->set_type(Types::ElementType::toString(type));
  entry->set_file(security == nullptr ? entryName : security->mapFileName(entryName));
  return entry;
}

void CtpTask::addMetaDataFromMemory(const File& folder, const std::vector<PackageItem>& items, ZipArchive& archive,
                                    Types::TaskIndex& index) {
  std::vector<MetaDataService::Description> described;
  described.reserve(items.size());
  for (const PackageItem& item : items) {
    if (item.held != nullptr && item.held->source != nullptr) {
      const int fd = item.held->source->get();
      struct stat st {};
      if (::fstat(fd, &st) != 0) throw std::runtime_error("Cannot read the snapshot of " + item.name);
      described.push_back({item.name, static_cast<uint64_t>(st.st_size), MetaDataService::sha256Hex(fd)});
    } else if (item.held != nullptr) {
      described.push_back({item.name, item.held->bytes.size(), MetaDataService::sha256Hex(item.held->bytes)});
    } else {
      described.push_back({item.name, item.file.size(), MetaDataService::sha256Hex(item.file)});
    }
  }
  const std::string text = services_->getMetaDataService()->metaDataText(described);
  const File metaDataFile(folder, DevicePaths::kMetaDataFileName);
  addIndexedBytes(archive, index, DevicePaths::kMetaDataFileName, text, ::time(nullptr), getFileType(metaDataFile));
}

void CtpTask::sendTaskStatus(bool success) {
  const auto status = static_cast<int64_t>(success ? JobResultType::Success : JobResultType::Failure);
  if (communicator_ == nullptr) {
    ZEM_DEBUG("No backend communicator: status " << status << " of task " << getIDForLog() << " is not sent");
    return;
  }
  if (!communicator_->sendTaskStatus(getID(), status)) {
    ZEM_ERROR("Cannot send the status of task " << getIDForLog());
  }
}
