// Helpers of the job pipeline tests: documents as text, task containers (written by the host's
// ZipArchive, or by python's zipfile for hostile entries), result packages read back, keys made
// with the `openssl` command, and a started application.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/ZemSettings.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace pipelinetest {

namespace Types = Sarnet_Configuration::Types;

// "<k:config ...><k:content xsi:type="k:TYPE" ATTRIBUTES>BODY</k:content></k:config>"
std::string document(const std::string& type, const std::string& body = "", const std::string& attributes = "");
// A task description of `type` with `taskId` (no attribute when empty) and extra attributes.
std::string description(const std::string& type, const std::string& taskId, const std::string& attributes = "");
// A database document holding one string `key` = `value`.
std::string databaseDocument(const std::string& key, const std::string& value);
// An index listing (type, file) pairs; a third element, when not empty, is the signature.
std::string indexDocument(const std::vector<std::vector<std::string>>& entries);

struct Entry {
  std::string name;
  std::string content;
  bool symlink = false;  // raw containers only: a Unix symbolic link whose target is `content`
};
// A container written with the host's ZipArchive (safe names only). Returns the file.
File makeContainer(const File& path, const std::vector<Entry>& entries);
// A zip written by python's zipfile exactly as described (any name, links).
File makeRawContainer(const File& path, const std::vector<Entry>& entries);
// A container: index.xml (the description as TASK_REQUEST, then `payload` with their types),
// "task.xml" and the payload files.
File makeJob(const File& path, const std::string& descriptionXml,
             const std::vector<std::pair<std::string, Entry>>& payload = {});

// The ".zip" files of the outbox, sorted by name.
std::vector<File> outboxPackages();
// Polls `condition` every 10 ms until it holds or `timeout` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A result package read back: its entries, its index by file name, and its result document.
struct ResultPackage {
  File file;
  std::map<std::string, std::string> entries;
  std::map<std::string, std::string> indexTypes;  // file -> type text
  xmldoc::DocumentPtr<Types::TaskResult> result;  // null when the package has no readable result.xml
};
// Reads `file` as a result package. Fails the test (and returns what it has) when it is unreadable.
ResultPackage readPackage(const File& file);

// Runs a shell command; returns its exit status.
int run(const std::string& command);
struct KeyPair {
  File key;
  File certificate;
};
// A key and self-signed certificate made with `openssl` in `folder`.
KeyPair makeKeyPair(const File& folder, const std::string& name);
// Base64 of `openssl dgst -sha256 -sign KEY` over `content`.
std::string sign(const KeyPair& keys, const std::string& content);

// Empties the device's data, configuration and certificate folders and lays out a default
// configuration (so that start-up has one to install). The schema stays.
void freshDevice();

// The application started (on a fresh device unless told otherwise) with an in-process IPC service
// serving the plug-in's "JobAppeared" servlet, registered before initialise as the host does.
// Shut down on destruction.
class RunningApp {
 public:
  struct Options {
    bool securityService = false;  // a SecurityService on the device's certificate folder
    bool metaDataService = false;  // a MetaDataService writing "MetaData.xml"
    bool freshDevice = true;       // empty the device first (false: keep what the test laid out)
  };
  RunningApp() : RunningApp(Options()) {}
  explicit RunningApp(const Options& options);
  ~RunningApp();
  RunningApp(const RunningApp&) = delete;
  RunningApp& operator=(const RunningApp&) = delete;

  Ipc::InProcessIpcService& ipc() { return *ipc_; }
  const std::shared_ptr<ExtensionServices>& services() const { return services_; }
  ZemSettings& settings() { return *settings_; }
  // Calls "JobAppeared" with a string "jobLocation"; returns the answered status.
  int64_t announce(const std::string& jobLocation);

 private:
  std::shared_ptr<Ipc::InProcessIpcService> ipc_ = std::make_shared<Ipc::InProcessIpcService>();
  std::shared_ptr<ExtensionServices> services_ = std::make_shared<ExtensionServices>();
  std::shared_ptr<ZemSettings> settings_ = std::make_shared<ZemSettings>();
};

}  // namespace pipelinetest
