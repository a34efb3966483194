// Shared helpers of the job-services tests: the per-process sysroot, containers made with libzip
// directly (so that tests can write the hostile entries our own writer refuses), and keys and
// certificates made with the `openssl` command.
#pragma once

#include <zip.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kest/File.h"

namespace jobs_test {

// Installs the schema into the process's fresh sysroot (ZEM_SYSROOT, set before main runs) and
// configures logging. Idempotent.
void prepareDevice();
// The folder that holds every temporary folder (TMPDIR); tests assert it is left empty.
File temporaryFolder();
// A fresh folder below the sysroot, unique per call.
File freshFolder(const std::string& prefix);
// Runs a shell command: its exit status, or its standard output.
int run(const std::string& command);
std::string capture(const std::string& command);

void writeFile(const File& file, const std::string& content);
std::string readFile(const File& file);

struct Entry {
  std::string name;
  std::string content;
  bool symlink = false;  // stored as a Unix symbolic link whose target is `content`
  bool store = false;    // stored uncompressed instead of deflated
};
// Writes a zip with libzip exactly as described (names are not checked).
void makeZip(const File& path, const std::vector<Entry>& entries);
// Sets the declared uncompressed size of the entry `name` in both its headers to `size`.
void patchDeclaredSize(const File& path, const std::string& name, uint32_t size);

// "<k:config ...><k:content xsi:type="k:TYPE">BODY</k:content></k:config>"
std::string document(const std::string& type, const std::string& body, const std::string& attributes = "");
// An index document listing (type, file, signature) triples; an empty signature is left out.
std::string indexDocument(const std::vector<std::vector<std::string>>& entries);

// PEM key, self-signed certificate and public key, made once per kind and process.
struct KeyPair {
  File key, certificate, publicKey;
};
const KeyPair& rsaKeys();
const KeyPair& ecKeys();
const KeyPair& otherRsaKeys();  // a second, unrelated RSA pair
// The Base64 signature `openssl dgst -sha256 -sign` makes over `file` (wrapped at 64 columns).
std::string opensslSign(const KeyPair& keys, const File& file);
// True when `openssl dgst -verify` accepts the Base64 `signature` of `file` with the public key.
bool opensslVerify(const KeyPair& keys, const File& file, const std::string& signature);

}  // namespace jobs_test
