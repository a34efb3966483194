// CtpTask result reporting: one package per report in the outbox under a safe name, typed and
// signed index entries, metadata whose digests match, announcements in order, and nothing left
// behind on failure, a huge task id cut in the log; and the MetaDataService those packages use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ZemTestSupport.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/MetaDataService.h"
#include "kest/seams/ZipLibOps.h"
#include "kest/security/SecurityService.h"
#include "kest/task/CtpTask.h"
#include "kest/testing/LogCapture.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

struct RecordingCommunicator : BackendAdapterCommunicatorIF {
  bool sendTaskStatus(const std::string& taskId, int64_t status) override {
    return calls.push_back("TaskStatus " + taskId + " " + std::to_string(status)), true;
  }
  bool sendResultPlaced(const std::string& location) override {
    return calls.push_back("ResultPlaced " + location), true;
  }
  std::vector<std::string> calls;
};

// A task kind as the application writes them: result.xml through populateErrorInfo, plus payloads.
struct DatabaseLikeTask : CtpTask {
  using CtpTask::CtpTask;
  bool execute() override { return true; }
  std::string getModuleName() const override { return "ZEM"; }
  void createTaskResults(const File& folder, bool success) override {
    auto result = xmldoc::createDocument<Types::RequestZemDatabaseTaskResult>();
    result->set_taskId(getID());
    populateErrorInfo(result->add_node_errorInfo(), success, success ? 0 : 5, success ? "" : "it failed");
    if (!holdResultFile(folder, DevicePaths::kResultFileName, xmldoc::toString(*result))) {
      xmldoc::saveFile(*result, File(folder, DevicePaths::kResultFileName).getPath());
    }
    // The installed database: held open (or a snapshot when signed), then replaced by rename.
    const File installed(zem_test::freshFolder("store"), "database.xml"), next(installed.getParentFile(), "next");
    zem_test::writeFile(installed, "<database/>");
    if (!holdResultSnapshot(folder, "database.xml", installed)) installed.snapshotTo(File(folder, "database.xml"));
    zem_test::writeFile(next, "<database version=\"2\"/>");
    ::rename(next.getPath().c_str(), installed.getPath().c_str());
    zem_test::writeFile(File(folder, "LOGS/zemlog.txt"), "a log line\n");
    seenFolder = folder;
  }
  File seenFolder;
};

CtpTask::DescriptionPtr description(const std::string& taskId) {
  return xmldoc::parseString<Types::TaskDescription>(
      zem_test::description("RequestZemDatabaseTaskDescription", taskId));
}

class CtpTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    File(DevicePaths::outboxFolder()).remove();
    File(keyFile()).remove();
    services_ = std::make_shared<ExtensionServices>();
    services_->setSecurityService(std::make_shared<Security::SecurityService>());
    services_->setMetaDataService(std::make_shared<MetaDataService>("19.22.3"));
  }

  static std::string keyFile() { return DevicePaths::certificateFolder() + "/device.key"; }
  template <class Kind = DatabaseLikeTask, class... Args>
  std::unique_ptr<Kind> makeTask(const std::string& taskId, Args... args) {
    auto task = std::make_unique<Kind>(description(taskId), args...);
    task->setExtensionServices(services_);
    task->setBackendAdapterCommunicator(communicator_);
    return task;
  }
  static std::vector<std::string> outbox() { return zem_test::names(File(DevicePaths::outboxFolder())); }
  static ZipArchive package() { return ZipArchive::openForReading(DevicePaths::outboxFolder() + "/" + outbox().at(0)); }
  template <class T>
  static xmldoc::DocumentPtr<T> read(const ZipArchive& archive, const std::string& entry) {
    return archive.extractXML<T>(entry, ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  }

  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<RecordingCommunicator> communicator_ = std::make_shared<RecordingCommunicator>();
};

TEST_F(CtpTaskTest, AnyTaskIdGivesASafeBoundedPackageName) {
  const std::string longId(300, 'x');
  // Expected part of the name; "" where the id is replaced by its shortened, hashed form.
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", "none"}, {"db-1.2", "db-1.2"}, {"a/b", ""},       {"a_b", ""},
      {longId, ""}, {longId + "y", ""},   {"../../etc", ""}, {std::string(64, 'k'), std::string(64, 'k')}};
  std::set<std::string> parts;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    const std::string part = CtpTask::idForPackageName(row.first);
    EXPECT_TRUE(std::regex_match(part, std::regex("[A-Za-z0-9.-]{1,64}")));
    EXPECT_TRUE(row.second.empty() || part == row.second) << part;
    parts.insert(part);
  }
  EXPECT_EQ(parts.size(), rows.size());
}

// With a device key every entry is signed; without one the results are packed from memory and the
// held-open database, with the same names, order, mode and metadata. Either way the database is the
// one held when the results were made, though it was replaced before the package was.
TEST_F(CtpTaskTest, ReportResultsPlacesOnePackageWithTypedIndexAndMatchingMetadata) {
  for (const bool signedPackage : {true, false}) {
    SCOPED_TRACE(signedPackage ? "device key" : "no device key");
    SetUp();
    communicator_->calls.clear();
    if (signedPackage) {
      ASSERT_TRUE(zem_test::rsaKeys().key.copyTo(File(keyFile())));
    }
    auto task = makeTask("T-42");
    task->reportResults(true);

    ASSERT_EQ(outbox().size(), 1u);
    EXPECT_TRUE(std::regex_match(outbox()[0], std::regex(R"(ZEM_T-42_\d{8}T\d{6}-\d{3}\.zip)"))) << outbox()[0];
    const std::string path = DevicePaths::outboxFolder() + "/" + outbox()[0];
    EXPECT_EQ(communicator_->calls, (std::vector<std::string>{"TaskStatus T-42 0", "ResultPlaced " + path}));
    EXPECT_FALSE(task->seenFolder.exists());  // the result folder is gone
    EXPECT_TRUE(zem_test::names(File::tmpFolder()).empty());

    const ZipArchive archive = package();
    EXPECT_EQ(archive.getEntryNames(),
              (std::vector<std::string>{"result.xml", "LOGS/zemlog.txt", "database.xml", "MetaData.xml", "index.xml"}));
    EXPECT_EQ(zem_test::capture("zipinfo '" + path + "' | grep -c '^-rw-r--r-- .* unx '"), "5\n");
    const File unpacked = zem_test::freshFolder("unpacked");
    ASSERT_EQ(zem_test::run("unzip -q '" + path + "' -d " + unpacked.getPath()), 0);
    std::vector<std::string> typed;
    const auto index = read<Types::TaskIndex>(archive, "index.xml");
    for (const auto& entry : index->elements_taskIndexEntry()) {
      typed.push_back(entry->get_file() + "=" + entry->get_type());
      EXPECT_EQ(entry->has_signature(), signedPackage) << entry->get_file();
      if (!signedPackage) continue;
      EXPECT_TRUE(zem_test::verify(zem_test::rsaKeys(), File(unpacked, entry->get_file()), entry->get_signature()))
          << entry->get_file();
    }
    EXPECT_EQ(typed, (std::vector<std::string>{"result.xml=TASK_RESULT", "LOGS/zemlog.txt=DATA_FILE",
                                               "database.xml=DATA_FILE", "MetaData.xml=VEHICLE_DATA"}));
    EXPECT_EQ(zem_test::readFile(File(unpacked, "database.xml")), "<database/>");
    const std::string metaData = zem_test::readFile(File(unpacked, "MetaData.xml"));
    for (const std::string name : {"result.xml", "LOGS/zemlog.txt", "database.xml"}) {
      const File file(unpacked, name);
      const std::string sha = zem_test::capture("sha256sum '" + file.getPath() + "' | cut -c1-64");
      EXPECT_NE(metaData.find("<file name=\"" + name + "\" size=\"" + std::to_string(file.size()) + "\" sha256=\"" +
                              sha.substr(0, 64) + "\"/>"),
                std::string::npos)
          << metaData;
    }
  }
}

// A failed task is reported as such, its entries unsigned without a device key; a failure to
// write the package leaves nothing behind and reports the task as failed.
TEST_F(CtpTaskTest, FailedTasksAndPackagesReportFailureAndLeaveNothing) {
  makeTask("T-7")->reportResults(false);
  EXPECT_EQ(communicator_->calls.at(0), "TaskStatus T-7 1");
  const auto index = read<Types::TaskIndex>(package(), "index.xml");
  for (const auto& entry : index->elements_taskIndexEntry()) EXPECT_FALSE(entry->has_signature());
  File(DevicePaths::outboxFolder()).remove();
  ZipLibOps ops = zipLibOps();
  ops.close = [](zip_t*) { return -1; };
  auto task = makeTask("T-9");
  {
    const ScopedZipLibOps seam(ops);
    task->reportResults(true);
  }
  EXPECT_TRUE(outbox().empty());
  EXPECT_EQ(communicator_->calls.back(), "TaskStatus T-9 1");
  EXPECT_FALSE(task->seenFolder.exists());
  EXPECT_TRUE(zem_test::names(File::tmpFolder()).empty());
}

TEST_F(CtpTaskTest, AHugeTaskIdIsCutBeforeTheRestOfItsLogLine) {
  auto huge = xmldoc::createDocument<Types::TaskDescription>();
  huge->set_taskId(std::string(1 << 20, 'n'));
  kest::testing::LogCapture log;
  DatabaseLikeTask(std::move(huge)).notifyResultPackage("/outbox/P.zip");
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "...[1048576 bytes] placed at /outbox/P.zip"));
}

// MetaDataService alone: a stable device id, and which files it describes and how it names them.
TEST(MetaDataServiceTest, KeepsOneDeviceIdAndDescribesRegularFilesButNotLinksOrItsOwnOutput) {
  const File folder = zem_test::freshFolder("metadata"), idFile(folder, "state/uuid");
  const std::string first = MetaDataService("1.0", idFile.getPath()).getDeviceId();
  EXPECT_EQ(36u, first.size()) << first;
  EXPECT_EQ(first, MetaDataService("1.0", idFile.getPath()).getDeviceId());
  zem_test::writeFile(File(folder, "preset"), "  unit-0042 \nsecond line\n");
  EXPECT_EQ("unit-0042", MetaDataService("1.0", File(folder, "preset").getPath()).getDeviceId());

  const File files(folder, "files");
  zem_test::writeFile(File(files, "result.xml"), "a");
  zem_test::writeFile(File(files, "LOGS/a&b<1>.txt"), "log");
  zem_test::writeFile(File(files, "LOGS/index.xml"), "nested index is payload");
  zem_test::writeFile(File(files, "index.xml"), "the package's own index");
  zem_test::writeFile(File(files, "MetaData.xml"), "an older one");
  ASSERT_EQ(0, ::symlink("/etc/hostname", File(files, "link").getPath().c_str()));
  ZipArchive archive = ZipArchive::create(File(folder, "P.zip").getPath());
  auto index = xmldoc::createDocument<Types::TaskIndex>();
  const auto described = MetaDataService("19.22.3", idFile.getPath()).generateMetaData(files, &archive, index.get());
  ASSERT_EQ(3u, described.size());  // LOGS/a&b<1>.txt, LOGS/index.xml, result.xml
  const std::string xml = zem_test::readFile(File(files, "MetaData.xml"));
  EXPECT_NE(std::string::npos, xml.find("<file name=\"LOGS/a&amp;b&lt;1&gt;.txt\" size=\"3\" sha256=\"" +
                                        MetaDataService::sha256Hex(described[0]) + "\"/>"))
      << xml;
  EXPECT_EQ(std::string::npos, xml.find("link"));
  EXPECT_EQ(std::string::npos, xml.find("\"index.xml\""));
  EXPECT_EQ(std::vector<std::string>{"MetaData.xml"}, archive.getEntryNames());
}

}  // namespace
