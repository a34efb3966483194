// CtpTask result reporting: one package per report in the outbox, typed and signed index entries,
// metadata whose digests match, announcements in order, and nothing left behind on failure.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "JobsTestSupport.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/MetaDataService.h"
#include "kest/security/SecurityService.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"
#include "kest/zip/ZipLibOps.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

class RecordingCommunicator : public BackendAdapterCommunicatorIF {
 public:
  bool sendTaskStatus(const std::string& taskId, int64_t status) override {
    calls.push_back("TaskStatus " + taskId + " " + std::to_string(status));
    return true;
  }
  bool sendResultPlaced(const std::string& location) override {
    calls.push_back("ResultPlaced " + location);
    return true;
  }
  std::vector<std::string> calls;
};

// A task kind as the application writes them: result.xml through populateErrorInfo, plus a payload.
class DatabaseLikeTask : public CtpTask {
 public:
  using CtpTask::CtpTask;
  bool execute() override { return true; }
  std::string getModuleName() const override { return "ZEM"; }
  void createTaskResults(const File& folder, bool success) override {
    auto result = xmldoc::createDocument<Types::RequestZemDatabaseTaskResult>();
    result->set_taskId(getID());
    populateErrorInfo(result->add_node_errorInfo(), success, success ? 0 : 5, success ? "" : "it failed");
    xmldoc::saveFile(*result, File(folder, DevicePaths::kResultFileName).getPath());
    jobs_test::writeFile(File(folder, "database.xml"), "<database/>");
    jobs_test::writeFile(File(folder, "LOGS/zemlog.txt"), "a log line\n");
    seenFolder = folder;
  }
  File seenFolder;
};

CtpTask::DescriptionPtr description(const std::string& taskId) {
  return xmldoc::parseString<Types::TaskDescription>(
      jobs_test::document("RequestZemDatabaseTaskDescription", "", "taskId=\"" + taskId + "\""));
}

class CtpTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jobs_test::prepareDevice();
    File(DevicePaths::outboxFolder()).remove();
    File(SecurityServiceKeyFile()).remove();
    services_ = std::make_shared<ExtensionServices>();
    services_->setSecurityService(std::make_shared<Security::SecurityService>());
    services_->setMetaDataService(std::make_shared<MetaDataService>("19.22.3"));
    communicator_ = std::make_shared<RecordingCommunicator>();
  }
  void TearDown() override { File(SecurityServiceKeyFile()).remove(); }

  static std::string SecurityServiceKeyFile() { return DevicePaths::certificateFolder() + "/device.key"; }

  std::unique_ptr<DatabaseLikeTask> makeTask(const std::string& taskId) {
    auto task = std::make_unique<DatabaseLikeTask>(description(taskId));
    task->setExtensionServices(services_);
    task->setBackendAdapterCommunicator(communicator_);
    return task;
  }

  static std::vector<std::string> outbox() {
    std::vector<std::string> names;
    const std::string out = jobs_test::capture("ls -A '" + DevicePaths::outboxFolder() + "' 2>/dev/null");
    size_t start = 0;
    while (start < out.size()) {
      const size_t end = out.find('\n', start);
      names.push_back(out.substr(start, end - start));
      start = end + 1;
    }
    return names;
  }

  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<RecordingCommunicator> communicator_;
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
    if (!row.second.empty()) EXPECT_EQ(part, row.second);
    parts.insert(part);
  }
  EXPECT_EQ(parts.size(), rows.size());

  auto task = makeTask(longId);
  task->reportResults(true);
  const std::vector<std::string> names = outbox();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].rfind("ZEM_" + CtpTask::idForPackageName(longId) + "_", 0), 0u);
}

TEST_F(CtpTaskTest, ReportResultsPlacesOneSignedPackageWithTypedIndexAndMatchingMetadata) {
  ASSERT_TRUE(jobs_test::rsaKeys().key.copyTo(File(SecurityServiceKeyFile())));
  auto task = makeTask("T-42/x");
  task->reportResults(true);

  const std::vector<std::string> names = outbox();
  ASSERT_EQ(1u, names.size());
  EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(ZEM_T-42-x-[0-9a-f]{16}_\d{8}T\d{6}-\d{3}\.zip)"))) << names[0];
  const File package(File(DevicePaths::outboxFolder()), names[0]);
  ASSERT_EQ(2u, communicator_->calls.size());
  EXPECT_EQ("TaskStatus T-42/x 0", communicator_->calls[0]);
  EXPECT_EQ("ResultPlaced " + package.getPath(), communicator_->calls[1]);
  EXPECT_FALSE(task->seenFolder.exists());  // the result folder is gone
  EXPECT_TRUE(task->getResultFolder().getPath().empty());
  EXPECT_EQ("", jobs_test::capture("ls -A " + jobs_test::temporaryFolder().getPath()));

  const ZipArchive archive = ZipArchive::openForReading(package.getPath());
  EXPECT_EQ((std::vector<std::string>{"result.xml", "LOGS/zemlog.txt", "database.xml", "MetaData.xml", "index.xml"}),
            archive.getEntryNames());
  const File unpacked = jobs_test::freshFolder("unpacked");
  ASSERT_EQ(0, jobs_test::run("unzip -q '" + package.getPath() + "' -d " + unpacked.getPath()));

  const auto index =
      archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  std::vector<std::string> typed;
  for (const auto& entry : index->elements_taskIndexEntry()) {
    typed.push_back(entry->get_file() + "=" + entry->get_type());
    ASSERT_TRUE(entry->has_signature()) << entry->get_file();
    EXPECT_TRUE(
        jobs_test::opensslVerify(jobs_test::rsaKeys(), File(unpacked, entry->get_file()), entry->get_signature()))
        << entry->get_file();
  }
  EXPECT_EQ((std::vector<std::string>{"result.xml=TASK_RESULT", "LOGS/zemlog.txt=DATA_FILE", "database.xml=DATA_FILE",
                                      "MetaData.xml=VEHICLE_DATA"}),
            typed);

  const auto result = xmldoc::parseFile<Types::RequestZemDatabaseTaskResult>(File(unpacked, "result.xml").getPath());
  EXPECT_EQ("T-42/x", result->get_taskId());
  EXPECT_TRUE(result->element_errorInfo()->get_success());

  const std::string metaData = jobs_test::readFile(File(unpacked, "MetaData.xml"));
  for (const std::string name : {"result.xml", "LOGS/zemlog.txt", "database.xml"}) {
    const File file(unpacked, name);
    const std::string sha = jobs_test::capture("sha256sum '" + file.getPath() + "' | cut -c1-64");
    EXPECT_NE(std::string::npos, metaData.find("<file name=\"" + name + "\" size=\"" + std::to_string(file.size()) +
                                               "\" sha256=\"" + sha.substr(0, 64) + "\"/>"))
        << metaData;
  }
  EXPECT_NE(std::string::npos, metaData.find("<softwareVersion>19.22.3</softwareVersion>"));
  const std::string deviceId = jobs_test::readFile(File(DevicePaths::dataFolder() + "/uuid"));
  ASSERT_FALSE(deviceId.empty());
  EXPECT_NE(std::string::npos, metaData.find("<device id=\"" + deviceId.substr(0, deviceId.size() - 1) + "\"/>"));
}

TEST_F(CtpTaskTest, FailedTaskReportsItsErrorAndUnsignedEntriesWithoutADeviceKey) {
  auto task = makeTask("T-7");
  task->reportResults(false);
  ASSERT_EQ(1u, outbox().size());
  const ZipArchive archive = ZipArchive::openForReading(DevicePaths::outboxFolder() + "/" + outbox()[0]);
  const auto index =
      archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  for (const auto& entry : index->elements_taskIndexEntry()) EXPECT_FALSE(entry->has_signature());
  const auto result = archive.extractXML<Types::RequestZemDatabaseTaskResult>("result.xml", ZipArchive::nonDecryptor(),
                                                                              ZipArchive::nonValidator());
  EXPECT_FALSE(result->element_errorInfo()->get_success());
  EXPECT_EQ(5, result->element_errorInfo()->get_errorType());
  EXPECT_EQ("it failed", result->element_errorInfo()->get_errorMessage());
  EXPECT_EQ("TaskStatus T-7 1", communicator_->calls.at(0));
}

TEST_F(CtpTaskTest, ThePackageNeverAppearsUnderItsFinalNameBeforeItIsComplete) {
  static std::vector<std::string>* seen = nullptr;
  std::vector<std::string> duringClose;
  seen = &duringClose;
  ZipLibOps ops = zipLibOps();
  static int (*realClose)(zip_t*) = nullptr;
  realClose = ops.close;
  ops.close = [](zip_t* z) {
    const int rc = realClose(z);
    // Written, not yet renamed: only the hidden temporary name exists.
    const std::string listing = jobs_test::capture("ls -A '" + DevicePaths::outboxFolder() + "'");
    seen->push_back(listing);
    return rc;
  };
  {
    const ScopedZipLibOps seam(ops);
    makeTask("T-1")->reportResults(true);
  }
  ASSERT_EQ(1u, duringClose.size());
  EXPECT_EQ('.', duringClose[0].front()) << duringClose[0];
  EXPECT_EQ(std::string::npos, duringClose[0].find(".zip\n")) << duringClose[0];
  ASSERT_EQ(1u, outbox().size());
  EXPECT_NE('.', outbox()[0].front());
}

TEST_F(CtpTaskTest, APackagingFailureSendsAFailedStatusAndLeavesNothingBehind) {
  ZipLibOps ops = zipLibOps();
  ops.close = [](zip_t*) { return -1; };
  auto task = makeTask("T-9");
  {
    const ScopedZipLibOps seam(ops);
    task->reportResults(true);
  }
  EXPECT_TRUE(outbox().empty());
  EXPECT_EQ(std::vector<std::string>{"TaskStatus T-9 1"}, communicator_->calls);
  EXPECT_FALSE(task->seenFolder.exists());
  EXPECT_EQ("", jobs_test::capture("ls -A " + jobs_test::temporaryFolder().getPath()));
}

// A kind that builds its own package, as the data and log requests do.
class OwnPackageTask : public CtpTask {
 public:
  OwnPackageTask(CtpTask::DescriptionPtr description, bool announce)
      : CtpTask(std::move(description)), announce_(announce) {}
  bool execute() override { return true; }
  std::string getModuleName() const override { return "OBU.LOGFILES"; }
  void collectResults(const File& folder, bool /*success*/) override {
    const std::string path = getOutboxFolder() + "/" + getResultPackage(folder.getPath()) + ".zip";
    File(getOutboxFolder()).mkdirs();
    ZipArchive archive = ZipArchive::create(path);
    auto index = xmldoc::createDocument<Types::TaskIndex>();
    jobs_test::writeFile(File(folder, "result.xml"), "<r/>");
    addIndexedFile(archive, *index, File(folder, "result.xml"), "result.xml", Types::ElementType::TASK_RESULT);
    generateVehicleData(folder, archive, *index);
    addIndex(archive, *index);
    archive.close(getSignatureGenerator(getSecurityService()));
    // The name is stable for the report in progress.
    EXPECT_EQ(path, getOutboxFolder() + "/" + getResultPackage(folder.getPath()) + ".zip");
    if (announce_) notifyResultPackage(path);
  }

 private:
  bool announce_;
};

TEST_F(CtpTaskTest, APackageBuiltByTheKindIsAnnouncedOnceAfterTheStatus) {
  for (const bool announce : {true, false}) {
    SCOPED_TRACE(announce);
    File(DevicePaths::outboxFolder()).remove();
    communicator_->calls.clear();
    OwnPackageTask task(description("L1"), announce);
    task.setExtensionServices(services_);
    task.setBackendAdapterCommunicator(communicator_);
    task.reportResults(true);
    ASSERT_EQ(1u, outbox().size());
    EXPECT_EQ(0u, outbox()[0].find("OBU.LOGFILES_L1_"));
    ASSERT_EQ(2u, communicator_->calls.size());
    EXPECT_EQ("TaskStatus L1 0", communicator_->calls[0]);
    EXPECT_EQ("ResultPlaced " + DevicePaths::outboxFolder() + "/" + outbox()[0], communicator_->calls[1]);
    const ZipArchive archive = ZipArchive::openForReading(DevicePaths::outboxFolder() + "/" + outbox()[0]);
    EXPECT_EQ((std::vector<std::string>{"result.xml", "MetaData.xml", "index.xml"}), archive.getEntryNames());
  }
}

TEST_F(CtpTaskTest, ClassifiesFilesByTheirExactNameAndFillsErrorInfo) {
  auto task = makeTask("x");
  EXPECT_EQ(Types::ElementType::TASK_RESULT, task->getFileType(File("/a/result.xml")));
  EXPECT_EQ(Types::ElementType::VEHICLE_DATA, task->getFileType(File("MetaData.xml")));
  EXPECT_EQ(Types::ElementType::INDEX, task->getFileType(File("index.xml")));
  EXPECT_EQ(Types::ElementType::DATA_FILE, task->getFileType(File("Result.xml")));
  EXPECT_EQ(Types::ElementType::DATA_FILE, task->getFileType(File("database.xml")));

  Types::ErrorInfo info;
  task->populateErrorInfo(&info, false, 4, "Impossible to install ZEM data: x");
  EXPECT_FALSE(info.get_success());
  EXPECT_EQ(4, info.get_errorType());
  EXPECT_EQ("Impossible to install ZEM data: x", info.get_errorMessage());
  task->populateErrorInfo(&info, true, 0, "");
  EXPECT_TRUE(info.get_success());
  EXPECT_FALSE(info.has_errorMessage());
  task->populateErrorInfo(nullptr, true, 0, "");

  EXPECT_EQ("x", task->getJobID());
  EXPECT_EQ("", DatabaseLikeTask(nullptr).getID());
  EXPECT_EQ("TASK", DatabaseLikeTask(nullptr).CtpTask::getModuleName());
  EXPECT_EQ(DevicePaths::outboxFolder(), task->getOutboxFolder());
  EXPECT_FALSE(task->isMissingMandatoryEncryption());
}

TEST_F(CtpTaskTest, WithoutServicesOrCommunicatorThePackageIsStillMade) {
  DatabaseLikeTask task(description("bare"));
  task.reportResults(true);
  ASSERT_EQ(1u, outbox().size());
  const ZipArchive archive = ZipArchive::openForReading(DevicePaths::outboxFolder() + "/" + outbox()[0]);
  EXPECT_EQ((std::vector<std::string>{"result.xml", "LOGS/zemlog.txt", "database.xml", "index.xml"}),
            archive.getEntryNames());
}

}  // namespace
