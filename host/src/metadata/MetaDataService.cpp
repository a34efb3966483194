// MetaDataService: the metadata document of result packages, written by hand (it is not a
// configuration document) and written through the durable writer (the device id durably, the
// metadata of a temporary result folder without fsync).
#include "kest/MetaDataService.h"

#include <dirent.h>
#include <fcntl.h>
// SHA256_Init/Update/Final are deprecated in OpenSSL 3 in favour of EVP, but kept on purpose:
// an EVP digest loads OpenSSL's provider machinery, about 1.7 MiB more resident pages in a
// daemon whose jobs otherwise never need it (a development unit, which checks no signature).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/Types.h"
#include "util/FilePieces.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Text safe inside an XML attribute or element: markup characters escaped, control characters
// (which XML 1.0 cannot carry) replaced by '?'.
std::string xmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    }
  }
  return out;
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  return trim(line);
}

// A random UUID: the kernel's, or one made from OpenSSL's generator when /proc cannot be read.
std::string newUuid() {
  std::string kernel = firstLine(DevicePaths::kernelRandomFolder() + DevicePaths::kUuidFileName);
  if (!kernel.empty()) return kernel;
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

void collectInto(const File& folder, const std::string& prefix, std::vector<MetaDataService::Item>* items) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.getPath().c_str()));
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const File file(folder, name);
    struct stat st;
    if (::lstat(file.getPath().c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      collectInto(file, prefix + name + "/", items);
    } else if (S_ISREG(st.st_mode)) {
      if (prefix.empty() && (name == DevicePaths::kMetaDataFileName || name == DevicePaths::kIndexFileName)) continue;
      items->emplace_back(prefix + name, file);
    }
  }
}

}  // namespace

MetaDataService::MetaDataService(std::string softwareVersion)
    : MetaDataService(std::move(softwareVersion), DevicePaths::dataFolder() + "/" + DevicePaths::kUuidFileName) {}

MetaDataService::MetaDataService(std::string softwareVersion, std::string deviceIdFile)
    : softwareVersion_(std::move(softwareVersion)), deviceIdFile_(std::move(deviceIdFile)) {}

MetaDataService::~MetaDataService() = default;

std::string MetaDataService::getDeviceId() const {
  const std::lock_guard<std::mutex> lock(deviceIdMutex_);
  if (!deviceId_.empty()) return deviceId_;
  std::string id = firstLine(deviceIdFile_);
  if (id.empty()) {
    id = newUuid();
    const File file(deviceIdFile_);
    if (id.empty() || !file.getParentFile().mkdirs() || !file.writeAtomically(id + "\n")) {
      ZEM_ERROR("Cannot create the device id file " << deviceIdFile_);
      if (id.empty()) id = "unknown";
    }
  }
  deviceId_ = id;
  return deviceId_;
}

namespace {

// Digests of files that have not changed for a while, by identity (device, inode, size, mtime): a
// result package often carries the same large file (the database) job after job. A file
// changed in place gets a new mtime; a file changed less than 100 ms ago is not cached, so that a
// second change within the same clock tick (same mtime) cannot go unnoticed.
constexpr long long kSettledNs = 100 * 1000 * 1000;
constexpr size_t kCachedDigests = 32;

struct FileIdentity {
  dev_t device;
  ino_t inode;
  off_t size;
  long long mtimeNs;
  bool operator<(const FileIdentity& o) const {
    return std::tie(device, inode, size, mtimeNs) < std::tie(o.device, o.inode, o.size, o.mtimeNs);
  }
};

std::mutex digestMutex;
std::map<FileIdentity, std::string> digests;  // guarded by digestMutex

// The identity of the settled regular file `st` describes, or false.
bool settledIdentity(const struct stat& st, FileIdentity* identity) {
  timespec now{};
  if (!S_ISREG(st.st_mode) || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const long long mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  if (mtimeNs + kSettledNs > now.tv_sec * 1000000000LL + now.tv_nsec) return false;
  *identity = FileIdentity{st.st_dev, st.st_ino, st.st_size, mtimeNs};
  return true;
}

// A SHA-256 digest in progress, finished as lower-case hex.
class Sha256 {
 public:
  Sha256() {
    if (SHA256_Init(&ctx_) != 1) throw std::runtime_error("Cannot start a SHA-256 digest");
  }
  // Adds `size` bytes at `data`. Throws std::runtime_error when the digest fails.
  void update(const char* data, size_t size) {
    if (size > 0 && SHA256_Update(&ctx_, data, size) != 1) throw std::runtime_error("SHA-256 digest failed");
  }
  // The digest of everything added. Throws std::runtime_error when the digest fails.
  std::string hex() {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    if (SHA256_Final(digest, &ctx_) != 1) throw std::runtime_error("SHA-256 digest failed");
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    text.reserve(2 * SHA256_DIGEST_LENGTH);
    for (const unsigned char byte : digest) {
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0x0f]);
    }
    return text;
  }

 private:
  SHA256_CTX ctx_{};
};

// The digest of the open regular file `fd`, read from its start; `what` names it in errors.
// Throws std::runtime_error when it cannot be read.
std::string digestOf(int fd, const std::string& what) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("Cannot read " + what);
  FileIdentity identity{};
  const bool cacheable = settledIdentity(st, &identity);
  if (cacheable) {
    std::lock_guard<std::mutex> lock(digestMutex);
    const auto found = digests.find(identity);
    if (found != digests.end()) return found->second;
  }
  Sha256 digest;
  const int64_t read = kestutil::forEachPiece(fd, [&digest](const char* data, size_t size) {
    digest.update(data, size);
    return true;
  });
  if (read < 0) throw std::runtime_error("Cannot read " + what);
  std::string hex = digest.hex();
  if (cacheable) {
    std::lock_guard<std::mutex> lock(digestMutex);
    if (digests.size() >= kCachedDigests) digests.clear();
    digests.emplace(identity, hex);
  }
  return hex;
}

}  // namespace

std::string MetaDataService::sha256Hex(const File& file) {
  const xmldoc::UniqueFd fd(::open(file.getPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) throw std::runtime_error("Cannot read " + file.getPath());
  return digestOf(fd.get(), file.getPath());
}

std::string MetaDataService::sha256Hex(int fd) { return digestOf(fd, "the file of descriptor " + std::to_string(fd)); }

std::string MetaDataService::sha256Hex(const std::string& bytes) {
  Sha256 digest;
  digest.update(bytes.data(), bytes.size());
  return digest.hex();
}

std::vector<MetaDataService::Item> MetaDataService::collectFiles(const File& folder) {
  std::vector<Item> items;
  collectInto(folder, "", &items);
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.first < b.first; });
  return items;
}

std::string MetaDataService::metaDataText(const std::vector<Description>& files) const {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<metaData>\n"
      << "  <device id=\"" << xmlEscape(getDeviceId()) << "\"/>\n"
      << "  <time>" << utcNow() << "</time>\n"
      << "  <softwareVersion>" << xmlEscape(softwareVersion_) << "</softwareVersion>\n"
      << "  <files>\n";
  for (const Description& file : files) {
    xml << "    <file name=\"" << xmlEscape(file.name) << "\" size=\"" << file.size << "\" sha256=\"" << file.sha256
        << "\"/>\n";
  }
  xml << "  </files>\n"
      << "</metaData>\n";
  return xml.str();
}

File MetaDataService::writeMetaData(const File& folder, const std::vector<Item>& items) const {
  std::vector<Description> files;
  files.reserve(items.size());
  for (const Item& item : items) files.push_back({item.first, item.second.size(), sha256Hex(item.second)});
  // Written through the durable writer without fsync: it describes a result folder, which is
  // temporary; the package that carries it is flushed when it is closed.
  File target(folder, DevicePaths::kMetaDataFileName);
  const std::string text = metaDataText(files);
  const xmldoc::ReplaceResult written =
      xmldoc::replaceFile(target.getPath(), text.data(), text.size(), xmldoc::Durability::Volatile);
  if (!written.ok()) throw std::runtime_error("Cannot write " + target.getPath() + ": " + written.error);
  return target;
}

std::vector<File> MetaDataService::generateMetaData(const File& folder, ZipArchive* archive,
                                                    Sarnet_Configuration::Types::TaskIndex* index) const {
  const std::vector<Item> items = collectFiles(folder);
  const File written = writeMetaData(folder, items);
  if (archive != nullptr) {
    archive->addFile(DevicePaths::kMetaDataFileName, written);
    if (index != nullptr) {
      auto* entry = index->add_node_taskIndexEntry();
      entry->set_type(
          Sarnet_Configuration::Types::ElementType::toString(Sarnet_Configuration::Types::ElementType::VEHICLE_DATA));
      entry->set_file(DevicePaths::kMetaDataFileName);
    }
  }
  std::vector<File> files;
  files.reserve(items.size());
  for (const Item& item : items) files.push_back(item.second);
  return files;
}
