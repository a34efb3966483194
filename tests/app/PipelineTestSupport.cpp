#include "PipelineTestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "AppTestEnvironment.h"
#include "ZemApp.h"
#include "ZemJobAppearedIpcHandler.h"
#include "database/Database.h"
#include "kest/DevicePaths.h"
#include "kest/MetaDataService.h"
#include "kest/TempFile.h"
#include "kest/security/SecurityService.h"
#include "kest/zip/ZipArchive.h"

namespace pipelinetest {

namespace {

std::string quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Writes each entry's content to a file of `staging`; returns the files in entry order.
std::vector<File> stage(const File& staging, const std::vector<Entry>& entries) {
  std::vector<File> files;
  for (const Entry& entry : entries) {
    files.emplace_back(staging, std::to_string(files.size()));
    EXPECT_TRUE(files.back().writeAtomically(entry.content));
  }
  return files;
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

std::string databaseDocument(const std::string& key, const std::string& value) {
  return document("PersistedDatabase", "<k:data><k:entry><k:key>" + key +
                                           "</k:key><k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>" +
                                           value + "</k:stringValue></k:value></k:entry></k:data>");
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

File makeContainer(const File& path, const std::vector<Entry>& entries) {
  path.getParentFile().mkdirs();
  const TempFile staging("container");
  ZipArchive archive = ZipArchive::create(path.getPath());
  const std::vector<File> files = stage(staging.getFile(), entries);
  for (size_t i = 0; i < entries.size(); ++i) archive.addFile(entries[i].name, files[i]);
  archive.close();
  return path;
}

File makeRawContainer(const File& path, const std::vector<Entry>& entries) {
  path.getParentFile().mkdirs();
  const TempFile staging("raw");
  const std::vector<File> files = stage(staging.getFile(), entries);
  std::string arguments;
  for (size_t i = 0; i < entries.size(); ++i) {
    arguments += " " + quote(entries[i].name) + " " + quote(files[i].getPath()) + (entries[i].symlink ? " 1" : " 0");
  }
  const char* const script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    for name, source, link in zip(*[iter(sys.argv[2:])] * 3):\n"
      "        info = zipfile.ZipInfo(name)\n"
      "        info.compress_type = zipfile.ZIP_DEFLATED\n"
      "        if link == '1':\n"
      "            info.create_system, info.external_attr = 3, 0o120777 << 16\n"
      "        z.writestr(info, open(source, 'rb').read())\n";
  EXPECT_EQ(run("python3 -c " + quote(script) + " " + quote(path.getPath()) + arguments), 0);
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
  return makeContainer(path, entries);
}

std::vector<File> outboxPackages() { return File(DevicePaths::outboxFolder()).listFiles("zip"); }

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ResultPackage readPackage(const File& file) {
  ResultPackage package;
  package.file = file;
  try {
    const ZipArchive archive = ZipArchive::openForReading(file.getPath());
    const TempFile folder("readzip");
    for (const std::string& name : archive.getEntryNames()) {
      const File entry = archive.extract(name, folder.getFile(), std::to_string(package.entries.size()),
                                         ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
      entry.readAll(&package.entries[name]);
    }
    const auto index = xmldoc::parseString<Types::TaskIndex>(package.entries.at("index.xml"));
    for (const auto& entry : index->elements_taskIndexEntry()) {
      package.indexTypes[entry->get_file()] = entry->get_type();
    }
    package.result = xmldoc::parseString<Types::TaskResult>(package.entries.at("result.xml"));
  } catch (const std::exception& e) {
    ADD_FAILURE() << "package " << file.getPath() << " is incomplete: " << e.what();
  }
  return package;
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

KeyPair makeKeyPair(const File& folder, const std::string& name) {
  folder.mkdirs();
  KeyPair keys{File(folder, name + "-key.pem"), File(folder, name + "-cert.pem")};
  EXPECT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=" + name + " -days 2 -keyout " +
                quote(keys.key.getPath()) + " -out " + quote(keys.certificate.getPath()) + " >/dev/null 2>&1"),
            0);
  return keys;
}

std::string sign(const KeyPair& keys, const std::string& content) {
  const TempFile folder("sign");
  const File data(folder.getFile(), "data"), signature(folder.getFile(), "signature");
  EXPECT_TRUE(data.writeAtomically(content));
  EXPECT_EQ(run("openssl dgst -sha256 -sign " + quote(keys.key.getPath()) + " " + quote(data.getPath()) +
                " | openssl base64 -A > " + quote(signature.getPath())),
            0);
  std::string text;
  signature.readAll(&text);
  return text;
}

void freshDevice() {
  File(DevicePaths::dataFolder()).remove();
  File(DevicePaths::configurationFolder()).remove();
  File(DevicePaths::certificateFolder()).remove();
  const File defaultConfig(File(DevicePaths::defaultConfigFolder()), DevicePaths::kConfigFileName);
  defaultConfig.getParentFile().mkdirs();
  EXPECT_TRUE(defaultConfig.writeAtomically(
      document("ProvisioningConfig",
               "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\"><k:origin "
               "xsi:type=\"k:StringLiteralPropertyOrigin\"><k:value>default</k:value></k:origin>"
               "</k:provisioningDefinitions>")));
}

RunningApp::RunningApp(const Options& options) {
  if (options.freshDevice) freshDevice();
  Database::getInstance()->resetForTesting();
  services_->setIpcService(ipc_);
  if (options.securityService) services_->setSecurityService(std::make_shared<Security::SecurityService>());
  if (options.metaDataService) services_->setMetaDataService(std::make_shared<MetaDataService>("19.22.3"));
  std::unique_ptr<Ipc::IpcMethodServlet> servlet(zemCreateJobAppearedServlet(services_.get()));
  EXPECT_NE(servlet, nullptr);
  if (servlet != nullptr) {
    const Ipc::IpcMessageDefinition definition = servlet->getDefinition();
    ipc_->registerServlet(definition, std::move(servlet));
  }
  getApp()->initialise(settings_, services_);
}

RunningApp::~RunningApp() {
  getApp()->shutdown();
  Database::getInstance()->resetForTesting();
}

int64_t RunningApp::announce(const std::string& jobLocation) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", jobLocation));
  return ipc_->call("Zem", "JobAppeared", in).get<Ipc::IpcIntegerParameter>("status").getValue();
}

}  // namespace pipelinetest
