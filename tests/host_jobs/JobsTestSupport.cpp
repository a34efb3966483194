#include "JobsTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"

namespace jobs_test {

namespace {

// DevicePaths reads ZEM_SYSROOT once, on first use: it is set here, during static initialisation,
// before any test can ask for a path. The folder goes when the process exits.
// Temporary folders of the code under test go to the sysroot's "tmp", where tests can see leftovers.
struct Sysroot {
  Sysroot() : folder("zem-jobs-sysroot-") {
    ::setenv("ZEM_SYSROOT", folder.getFile().getPath().c_str(), 1);
    const File tmp(folder.getFile(), "tmp");
    tmp.mkdirs();
    ::setenv("TMPDIR", tmp.getPath().c_str(), 1);
  }
  TempFile folder;
};
const Sysroot sysroot;

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

KeyPair makeKeys(const std::string& name, const std::string& algorithm) {
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  const File folder = freshFolder("keys-" + name);
  KeyPair keys{File(folder, "key.pem"), File(folder, "cert.pem"), File(folder, "pub.pem")};
  const std::string command = "openssl req -x509 " + algorithm + " -nodes -days 2 -subj /CN=" + name + " -keyout " +
                              keys.key.getPath() + " -out " + keys.certificate.getPath() +
                              " >/dev/null 2>&1 && openssl x509 -pubkey -noout -in " + keys.certificate.getPath() +
                              " > " + keys.publicKey.getPath();
  if (run(command) != 0) throw std::runtime_error("openssl could not make keys: " + command);
  return keys;
}

}  // namespace

void prepareDevice() {
  static std::once_flag once;
  std::call_once(once, [] {
    ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
    const File schema(DevicePaths::configurationSchema());
    ASSERT_TRUE(schema.getParentFile().mkdirs());
    ASSERT_TRUE(File(ZEM_SCHEMA_FILE).copyTo(schema));
    ASSERT_TRUE(File(DevicePaths::certificateFolder()).mkdirs());
  });
}

File temporaryFolder() { return File(File(DevicePaths::sysroot()), "tmp"); }

File freshFolder(const std::string& prefix) {
  static std::atomic<int> counter{0};
  const File folder(File(DevicePaths::sysroot()), "t-" + prefix + "-" + std::to_string(counter.fetch_add(1)));
  folder.remove();
  if (!folder.mkdirs()) throw std::runtime_error("cannot create " + folder.getPath());
  return folder;
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
  file.readAll(&content);
  return content;
}

void makeZip(const File& path, const std::vector<Entry>& entries) {
  int error = 0;
  std::unique_ptr<zip_t, ZipCloser> z(zip_open(path.getPath().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  if (z == nullptr) throw std::runtime_error("zip_open failed for " + path.getPath());
  for (const Entry& entry : entries) {
    zip_source_t* source = zip_source_buffer(z.get(), entry.content.data(), entry.content.size(), 0);
    const zip_int64_t index = zip_file_add(z.get(), entry.name.c_str(), source, ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(source);
      throw std::runtime_error("zip_file_add failed for " + entry.name);
    }
    if (entry.store) zip_set_file_compression(z.get(), static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    if (entry.symlink) {
      zip_file_set_external_attributes(z.get(), static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
    }
  }
  if (zip_close(z.get()) != 0) throw std::runtime_error("zip_close failed for " + path.getPath());
  z.release();
}

void patchDeclaredSize(const File& path, const std::string& name, uint32_t size) {
  std::string bytes = readFile(path);
  auto put32 = [&bytes](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  };
  auto get16 = [&bytes](size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 (static_cast<unsigned char>(bytes[at + 1]) << 8));
  };
  int patched = 0;
  for (size_t i = 0; i + 46 < bytes.size(); ++i) {
    if (bytes.compare(i, 4, std::string("PK\x03\x04", 4)) == 0) {
      const uint16_t nameLength = get16(i + 26);
      if (bytes.compare(i + 30, nameLength, name) == 0 && nameLength == name.size()) {
        put32(i + 22, size);
        ++patched;
      }
    } else if (bytes.compare(i, 4, std::string("PK\x01\x02", 4)) == 0) {
      const uint16_t nameLength = get16(i + 28);
      if (bytes.compare(i + 46, nameLength, name) == 0 && nameLength == name.size()) {
        put32(i + 24, size);
        ++patched;
      }
    }
  }
  if (patched != 2) throw std::runtime_error("could not patch the headers of " + name);
  writeFile(path, bytes);
}

std::string document(const std::string& type, const std::string& body, const std::string& attributes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:" +
         type + "\"" + (attributes.empty() ? "" : " " + attributes) + ">" + body + "</k:content></k:config>\n";
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

const KeyPair& rsaKeys() {
  static const KeyPair keys = makeKeys("rsa", "-newkey rsa:2048");
  return keys;
}

const KeyPair& ecKeys() {
  static const KeyPair keys = makeKeys("ec", "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1");
  return keys;
}

const KeyPair& otherRsaKeys() {
  static const KeyPair keys = makeKeys("other", "-newkey rsa:2048");
  return keys;
}

std::string opensslSign(const KeyPair& keys, const File& file) {
  return capture("openssl dgst -sha256 -sign " + keys.key.getPath() + " " + file.getPath() + " | openssl base64");
}

bool opensslVerify(const KeyPair& keys, const File& file, const std::string& signature) {
  const File folder = freshFolder("verify");
  writeFile(File(folder, "sig.b64"), signature + "\n");
  const std::string sig = File(folder, "sig.bin").getPath();
  return run("openssl base64 -d -A -in " + File(folder, "sig.b64").getPath() + " -out " + sig +
             " && openssl dgst -sha256 -verify " + keys.publicKey.getPath() + " -signature " + sig + " " +
             file.getPath() + " >/dev/null 2>&1") == 0;
}

}  // namespace jobs_test
