// Shared helpers of the test programs: documents as text, zip containers written exactly as
// described (hostile entries included), keys made and used with the `openssl` command, polling,
// scratch folders, and result packages read back. Every function may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kest/File.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace zem_test {

namespace Types = Sarnet_Configuration::Types;

// "<k:config ...><k:content xsi:type="k:TYPE" ATTRIBUTES>BODY</k:content></k:config>"
std::string document(const std::string& type, const std::string& body = "", const std::string& attributes = "");
// A task description of `type` with `taskId` (no attribute when empty) and further attributes.
std::string description(const std::string& type, const std::string& taskId, const std::string& attributes = "");
// A database document whose top-level map holds `entries` (XML of k:entry elements).
std::string databaseXml(const std::string& entries);
// XML of a map entry; of a value of `kind` ("String", "Integer", ...) with its text; of a map value;
// of a list value whose items are the values `items` (valueXml, mapXml or listXml texts).
std::string entryXml(const std::string& key, const std::string& valueXml);
std::string valueXml(const std::string& kind, const std::string& text);
std::string mapXml(const std::string& entries);
std::string listXml(const std::vector<std::string>& items);
// Persisted nodes as the database setters take them.
Types::PersistedStringValue stringNode(const std::string& text);
Types::PersistedIntegerValue integerNode(int32_t n);
Types::PersistedBooleanValue booleanNode(bool b);
Types::PersistedListValue stringListNode(const std::vector<std::string>& items);
// An index listing (type, file) pairs; a third element, when not empty, is the signature.
std::string indexDocument(const std::vector<std::vector<std::string>>& entries);

// Runs a shell command: its exit status, or its standard output.
int run(const std::string& command);
std::string capture(const std::string& command);
// Writes `content` (creating the parent folders); throws when it cannot. Reads a whole file ("" when unreadable).
void writeFile(const File& file, const std::string& content);
std::string readFile(const File& file);
// Names below `folder`, hidden ones included, sorted; with `recursive` as relative paths.
std::vector<std::string> names(const File& folder, bool recursive = false);
// A new empty folder, unique per call, below the sysroot (never below TMPDIR, which tests expect
// to stay empty), or below a process-wide temporary folder when no ZEM_SYSROOT is set.
File freshFolder(const std::string& prefix);
// Polls `condition` every 10 ms until it holds or `timeout` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct Entry {
  std::string name;
  std::string content;
  bool symlink = false;       // a Unix symbolic link whose target is `content`
  bool store = false;         // stored uncompressed instead of deflated
  uint32_t declaredSize = 0;  // when not 0: the uncompressed size both headers claim
};
// Writes a zip exactly as described (names are not checked); returns `path`.
File makeZip(const File& path, const std::vector<Entry>& entries);
// A container: index.xml (the description as TASK_REQUEST, then each payload (type, entry)),
// "task.xml" and the payload entries. Returns `path`.
File makeJob(const File& path, const std::string& descriptionXml,
             const std::vector<std::pair<std::string, Entry>>& payload = {});

// PEM key, self-signed certificate and public key, made once per kind and process.
struct KeyPair {
  File key, certificate, publicKey;
};
const KeyPair& rsaKeys();
const KeyPair& otherRsaKeys();  // a second, unrelated RSA pair
const KeyPair& ecKeys();
// The Base64 `openssl dgst -sha256` signature of `file` (wrapped at 64 columns); whether the
// public key verifies `signature` of `file`.
std::string sign(const KeyPair& keys, const File& file);
bool verify(const KeyPair& keys, const File& file, const std::string& signature);

// Empties the device's data, configuration and certificate folders and lays out a default
// configuration (the schema stays).
void freshDevice();
// The ".zip" files of the device's outbox, sorted by name.
std::vector<File> outboxPackages();

// A result package read back: its entries, its index (file -> type) and its result document.
struct ResultPackage {
  std::map<std::string, std::string> entries;
  std::map<std::string, std::string> indexTypes;
  xmldoc::DocumentPtr<Types::TaskResult> result;  // null when there is no readable result.xml
};
// Reads `file`; fails the test (and returns what it has) when the package is incomplete.
ResultPackage readPackage(const File& file);

// Provisioning configurations. A definition of `adapter` with its attributes as written
// ("propertyName=\"p\"") whose origin is of `originType` holding `originBody`; no origin when
// `originType` is empty.
std::string propertyXml(const std::string& adapter, const std::string& attributes, const std::string& originType,
                        const std::string& originBody = "");
std::string groupXml(const std::string& name, const std::vector<std::string>& owners, const std::string& definitions);
// Writes a ProvisioningConfig holding `definitions` as the installed "config.xml".
void installConfig(const std::string& definitions);
// An IpcMessagePropertyUpdate of `name` to a persisted value of `kind` ("String", ...) with `text`.
std::string updateXml(const std::string& name, const std::string& kind, const std::string& text);

}  // namespace zem_test
