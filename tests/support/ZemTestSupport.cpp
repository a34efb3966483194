#include "ZemTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zip.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/zip/ZipArchive.h"

namespace zem_test {

namespace {

// The process's scratch folder: "<ZEM_SYSROOT>/scratch", or a temporary folder removed at exit.
const std::string& scratchRoot() {
  static const std::string root = [] {
    const char* sysroot = std::getenv("ZEM_SYSROOT");
    if (sysroot != nullptr && *sysroot != '\0') return std::string(sysroot) + "/scratch";
    static const TempFile own("zem-test-");
    return own.getFile().getPath();
  }();
  return root;
}

// The key pair `name`, made on first use.
const KeyPair& makeKeys(const std::string& name, const std::string& algorithm) {
  static std::mutex mutex;
  static std::map<std::string, KeyPair> made;
  const std::lock_guard<std::mutex> lock(mutex);
  if (made.count(name) != 0) return made.at(name);
  const File folder = freshFolder("keys-" + name);
  KeyPair& keys = made[name] = {File(folder, "key.pem"), File(folder, "cert.pem"), File(folder, "pub.pem")};
  const std::string command = "openssl req -x509 " + algorithm + " -nodes -days 2 -subj /CN=" + name + " -keyout " +
                              keys.key.getPath() + " -out " + keys.certificate.getPath() +
                              " >/dev/null 2>&1 && openssl x509 -pubkey -noout -in " + keys.certificate.getPath() +
                              " > " + keys.publicKey.getPath();
  if (run(command) != 0) throw std::runtime_error("openssl could not make keys: " + command);
  return keys;
}

// Sets the uncompressed size that both headers of the entry `name` in `bytes` declare.
void patchDeclaredSize(std::string& bytes, const std::string& name, uint32_t size) {
  const auto get16 = [&bytes](size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
  };
  int patched = 0;
  for (size_t i = 0; i + 46 < bytes.size(); ++i) {
    const bool local = bytes.compare(i, 4, std::string("PK\x03\x04", 4)) == 0;
    const bool central = bytes.compare(i, 4, std::string("PK\x01\x02", 4)) == 0;
    const size_t nameAt = local ? i + 30 : i + 46, sizeAt = local ? i + 22 : i + 24;
    if ((local || central) && get16(local ? i + 26 : i + 28) == name.size() &&
        bytes.compare(nameAt, name.size(), name) == 0) {
      for (int b = 0; b < 4; ++b) bytes[sizeAt + b] = static_cast<char>((size >> (8 * b)) & 0xff);
      ++patched;
    }
  }
  if (patched != 2) throw std::runtime_error("could not patch the headers of " + name);
}

}  // namespace

std::string document(const std::string& type, const std::string& body, const std::string& attributes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:" +
         type + "\"" + (attributes.empty() ? "" : " " + attributes) + ">" + body + "</k:content></k:config>\n";
}

std::string description(const std::string& type, const std::string& taskId, const std::string& attributes) {
  std::string all = taskId.empty() ? "" : "taskId=\"" + taskId + "\"";
  if (!attributes.empty()) all += (all.empty() ? "" : " ") + attributes;
  return document(type, "", all);
}

std::string databaseXml(const std::string& entries) {
  return document("PersistedDatabase", "<k:data>" + entries + "</k:data>");
}

std::string entryXml(const std::string& key, const std::string& valueXml) {
  return "<k:entry><k:key>" + key + "</k:key>" + valueXml + "</k:entry>";
}

std::string valueXml(const std::string& kind, const std::string& text) {
  const std::string field = std::string(1, static_cast<char>(std::tolower(kind[0]))) + kind.substr(1) + "Value";
  return "<k:value xsi:type=\"k:Persisted" + kind + "Value\"><k:" + field + ">" + text + "</k:" + field + "></k:value>";
}

std::string mapXml(const std::string& entries) {
  return "<k:value xsi:type=\"k:PersistedMapValue\">" + entries + "</k:value>";
}

std::string listXml(const std::vector<std::string>& items) {
  std::string xml = "<k:value xsi:type=\"k:PersistedListValue\">";
  for (const std::string& item : items)  // "<k:value ...>...</k:value>" as "<k:item ...>...</k:item>"
    xml += "<k:item" + item.substr(8, item.size() - 18) + "</k:item>";
  return xml + "</k:value>";
}

Types::PersistedStringValue stringNode(const std::string& text) {
  Types::PersistedStringValue node;
  return node.set_stringValue(text), node;
}

Types::PersistedIntegerValue integerNode(int32_t n) {
  Types::PersistedIntegerValue node;
  return node.set_integerValue(n), node;
}

Types::PersistedBooleanValue booleanNode(bool b) {
  Types::PersistedBooleanValue node;
  return node.set_booleanValue(b), node;
}

Types::PersistedListValue stringListNode(const std::vector<std::string>& items) {
  Types::PersistedListValue list;
  for (const auto& item : items) list.add_node_item<Types::PersistedStringValue>()->set_stringValue(item);
  return list;
}

std::string indexDocument(const std::vector<std::vector<std::string>>& entries) {
  std::string body;
  for (const auto& entry : entries) {
    body += "<k:taskIndexEntry><k:type>" + entry.at(0) + "</k:type><k:file>" + entry.at(1) + "</k:file>";
    if (entry.size() > 2 && !entry[2].empty()) body += "<k:signature>" + entry[2] + "</k:signature>";
    body += "</k:taskIndexEntry>";
  }
  return document("TaskIndex", body);
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
  std::string out;
  std::array<char, 4096> buffer;
  for (size_t n; pipe != nullptr && (n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
    out.append(buffer.data(), n);
  }
  return out;
}

void writeFile(const File& file, const std::string& content) {
  file.getParentFile().mkdirs();
  if (!file.writeAtomically(content)) throw std::runtime_error("cannot write " + file.getPath());
}

std::string readFile(const File& file) {
  std::string content;
  return file.readAll(&content) ? content : std::string();
}

std::vector<std::string> names(const File& folder, bool recursive) {
  const std::string out = capture("cd '" + folder.getPath() + "' 2>/dev/null && find . -mindepth 1 " +
                                  (recursive ? "" : "-maxdepth 1 ") + "-printf '%P\\n' | LC_ALL=C sort");
  std::vector<std::string> result;
  for (size_t start = 0, end; start < out.size(); start = end + 1) {
    end = out.find('\n', start);
    result.push_back(out.substr(start, end - start));
  }
  return result;
}

File freshFolder(const std::string& prefix) {
  static std::atomic<int> counter{0};
  File folder(File(scratchRoot()), prefix + "-" + std::to_string(counter.fetch_add(1)));
  folder.remove();
  if (!folder.mkdirs()) throw std::runtime_error("cannot create " + folder.getPath());
  return folder;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

File makeZip(const File& path, const std::vector<Entry>& entries) {
  path.getParentFile().mkdirs();
  int error = 0;
  zip_t* z = zip_open(path.getPath().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (z == nullptr) throw std::runtime_error("zip_open failed for " + path.getPath());
  for (const Entry& entry : entries) {
    zip_source_t* source = zip_source_buffer(z, entry.content.data(), entry.content.size(), 0);
    const zip_int64_t index = zip_file_add(z, entry.name.c_str(), source, ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(source);
      zip_discard(z);
      throw std::runtime_error("zip_file_add failed for " + entry.name);
    }
    const auto at = static_cast<zip_uint64_t>(index);
    if (entry.store) zip_set_file_compression(z, at, ZIP_CM_STORE, 0);
    if (entry.symlink) {
      zip_file_set_external_attributes(z, at, 0, ZIP_OPSYS_UNIX, static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
    }
  }
  if (zip_close(z) != 0) {
    zip_discard(z);
    throw std::runtime_error("zip_close failed for " + path.getPath());
  }
  std::string bytes;
  for (const Entry& entry : entries) {
    if (entry.declaredSize == 0) continue;
    if (bytes.empty()) bytes = readFile(path);
    patchDeclaredSize(bytes, entry.name, entry.declaredSize);
  }
  if (!bytes.empty()) writeFile(path, bytes);
  return path;
}

File makeJob(const File& path, const std::string& descriptionXml,
             const std::vector<std::pair<std::string, Entry>>& payload) {
  std::vector<std::vector<std::string>> index = {{"TASK_REQUEST", "task.xml"}};
  std::vector<Entry> entries = {{"index.xml", ""}, {"task.xml", descriptionXml}};
  for (const auto& item : payload) {
    index.push_back({item.first, item.second.name});
    entries.push_back(item.second);
  }
  entries[0].content = indexDocument(index);
  return makeZip(path, entries);
}

const KeyPair& rsaKeys() { return makeKeys("rsa", "-newkey rsa:2048"); }
const KeyPair& otherRsaKeys() { return makeKeys("other", "-newkey rsa:2048"); }
const KeyPair& ecKeys() { return makeKeys("ec", "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1"); }

std::string sign(const KeyPair& keys, const File& file) {
  return capture("openssl dgst -sha256 -sign " + keys.key.getPath() + " '" + file.getPath() + "' | openssl base64");
}

bool verify(const KeyPair& keys, const File& file, const std::string& signature) {
  const File folder = freshFolder("verify");
  writeFile(File(folder, "sig.b64"), signature + "\n");
  const std::string binary = File(folder, "sig.bin").getPath();
  return run("openssl base64 -d -A -in " + File(folder, "sig.b64").getPath() + " -out " + binary +
             " && openssl dgst -sha256 -verify " + keys.publicKey.getPath() + " -signature " + binary + " '" +
             file.getPath() + "' >/dev/null 2>&1") == 0;
}

void freshDevice() {
  File(DevicePaths::dataFolder()).remove();
  File(DevicePaths::configurationFolder()).remove();
  File(DevicePaths::certificateFolder()).remove();
  writeFile(File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kConfigFileName),
            document("ProvisioningConfig",
                     "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\"><k:origin "
                     "xsi:type=\"k:StringLiteralPropertyOrigin\"><k:value>default</k:value></k:origin>"
                     "</k:provisioningDefinitions>"));
}

std::vector<File> outboxPackages() { return File(DevicePaths::outboxFolder()).listFiles("zip"); }

ResultPackage readPackage(const File& file) {
  ResultPackage package;
  try {
    const ZipArchive archive = ZipArchive::openForReading(file.getPath());
    const File folder = freshFolder("package");
    for (const std::string& name : archive.getEntryNames()) {
      const File entry = archive.extract(name, folder, std::to_string(package.entries.size()),
                                         ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
      package.entries[name] = readFile(entry);
    }
    folder.remove();
    const auto index = xmldoc::parseString<Types::TaskIndex>(package.entries.at("index.xml"));
    for (const auto& entry : index->elements_taskIndexEntry())
      package.indexTypes[entry->get_file()] = entry->get_type();
    package.result = xmldoc::parseString<Types::TaskResult>(package.entries.at("result.xml"));
  } catch (const std::exception& e) {
    ADD_FAILURE() << "package " << file.getPath() << " is incomplete: " << e.what();
  }
  return package;
}

std::string propertyXml(const std::string& adapter, const std::string& attributes, const std::string& originType,
                        const std::string& originBody) {
  const std::string origin =
      originType.empty() ? "" : "<k:origin xsi:type=\"k:" + originType + "\">" + originBody + "</k:origin>";
  return "<k:provisioningDefinitions xsi:type=\"k:" + adapter + "\"" + (attributes.empty() ? "" : " " + attributes) +
         ">" + origin + "</k:provisioningDefinitions>";
}

std::string groupXml(const std::string& name, const std::vector<std::string>& owners, const std::string& definitions) {
  std::string xml = "<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"" + name + "\">";
  for (const std::string& owner : owners) xml += "<k:owner>" + owner + "</k:owner>";
  return xml + definitions + "</k:provisioningDefinitions>";
}

void installConfig(const std::string& definitions) {
  writeFile(File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName),
            document("ProvisioningConfig", definitions));
}

std::string updateXml(const std::string& name, const std::string& kind, const std::string& text) {
  std::string value = valueXml(kind, text);
  value.replace(0, std::string("<k:value").size(), "<k:propertyValue");
  value.replace(value.size() - std::string("</k:value>").size(), std::string::npos, "</k:propertyValue>");
  return document("IpcMessagePropertyUpdate", "<k:propertyName>" + name + "</k:propertyName>" + value);
}

}  // namespace zem_test
