// The task factory and the task base: which kind a container yields, the registry, and what every
// kind inherits (identity, priority, module name, outbox, file classification, result documents).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AppTestEnvironment.h"
#include "InstallDatabase.h"
#include "PipelineTestSupport.h"
#include "RequestDatabase.h"
#include "ResetDatabase.h"
#include "TaskTypeRegistration.h"
#include "ZemTask.h"
#include "ZemTaskFactory.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using kest::testing::LogCapture;
using pipelinetest::description;
using pipelinetest::makeContainer;
using pipelinetest::makeJob;

// A kind that records nothing; lets tests reach the protected parts of the base.
class ProbeTask : public ZemTask {
 public:
  ProbeTask(const ZipArchive& archive, DescriptionPtr description) : ZemTask(archive, std::move(description)) {}
  bool execute() override { return true; }
  void fail(int type, const std::string& message) {
    errorType = type;
    errorMessage = message;
  }
  void writeResult(const File& folder, bool success) {
    ZemTask::createTaskResults<Types::RequestZemDatabaseTaskResult>(folder, success);
  }
};
class OtherProbeTask : public ProbeTask {
 public:
  using ProbeTask::ProbeTask;
};

class TaskFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { pipelinetest::freshDevice(); }

  // Builds a container holding `descriptionXml` and asks the factory for its task.
  std::unique_ptr<ZemTask> taskFor(const std::string& descriptionXml) {
    const File container = makeJob(File(folder_.getFile(), "job.zip"), descriptionXml);
    ZipArchive archive = ZipArchive::openForReading(container.getPath());
    return Tasks::ZemTaskFactory::createTask(archive);
  }

  TempFile folder_{"factory"};
};

TEST_F(TaskFactoryTest, DescriptionTypeSelectsTheRegisteredKindWithOrWithoutNamespacePrefix) {
  auto request = taskFor(description("RequestZemDatabaseTaskDescription", "job-1"));
  ASSERT_NE(request, nullptr);
  EXPECT_NE(dynamic_cast<RequestDatabase*>(request.get()), nullptr);
  EXPECT_EQ(request->getID(), "job-1");

  EXPECT_NE(dynamic_cast<ResetDatabase*>(taskFor(description("ResetZemDatabaseTaskDescription", "r")).get()), nullptr);
  EXPECT_NE(dynamic_cast<InstallDatabase*>(taskFor(description("InstallZemDatabaseTaskDescription", "i")).get()),
            nullptr);

  // The xsi:type written with another prefix bound to the same namespace.
  const std::string prefixed =
      "<?xml version=\"1.0\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:p=\"http://www.olvane.com/kolconfig\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content "
      "xsi:type=\"p:RequestZemDatabaseTaskDescription\" "
      "taskId=\"job-2\"/></k:config>\n";
  auto prefixedTask = taskFor(prefixed);
  ASSERT_NE(prefixedTask, nullptr);
  EXPECT_NE(dynamic_cast<RequestDatabase*>(prefixedTask.get()), nullptr);
  EXPECT_EQ(prefixedTask->getID(), "job-2");
}

TEST_F(TaskFactoryTest, ContainersWithoutAUsableDescriptionYieldNoTask) {
  // No TASK_REQUEST entry at all.
  const File noRequest = makeContainer(File(folder_.getFile(), "payload-only.zip"),
                                       {{"index.xml", pipelinetest::indexDocument({{"ZEM_DATABASE", "db.xml"}})},
                                        {"db.xml", pipelinetest::databaseDocument("a", "b")}});
  ZipArchive archive = ZipArchive::openForReading(noRequest.getPath());
  EXPECT_EQ(Tasks::ZemTaskFactory::createTask(archive), nullptr);

  // No index.
  const File noIndex = makeContainer(File(folder_.getFile(), "no-index.zip"),
                                     {{"task.xml", description("RequestZemDatabaseTaskDescription", "x")}});
  ZipArchive noIndexArchive = ZipArchive::openForReading(noIndex.getPath());
  EXPECT_EQ(Tasks::ZemTaskFactory::createTask(noIndexArchive), nullptr);

  // A description of a type that names no kind: take the request kind out of the registry for a
  // moment.
  auto& registry = Tasks::ZemTaskFactory::getMap();
  const auto saved = registry.at("RequestZemDatabaseTaskDescription");
  registry.erase("RequestZemDatabaseTaskDescription");
  EXPECT_EQ(taskFor(description("RequestZemDatabaseTaskDescription", "x")), nullptr);
  registry.emplace("RequestZemDatabaseTaskDescription", saved);
  EXPECT_NE(taskFor(description("RequestZemDatabaseTaskDescription", "x")), nullptr);
}

TEST_F(TaskFactoryTest, DuplicateRegistrationKeepsTheFirstCreator) {
  auto& registry = Tasks::ZemTaskFactory::getMap();
  const std::string key = "ProbeTaskDescriptionForDuplicateRegistration";
  { TaskTypeRegistration<ProbeTask> first(key); }
  { TaskTypeRegistration<OtherProbeTask> second(key); }
  ASSERT_EQ(registry.count(key), 1u);
  EXPECT_EQ(registry.at(key), &Tasks::createType<ProbeTask>);
  registry.erase(key);

  // The registrations of the database kinds were made during static initialisation.
  EXPECT_EQ(registry.at("InstallZemDatabaseTaskDescription"), &Tasks::createType<InstallDatabase>);
  EXPECT_EQ(registry.at("ResetZemDatabaseTaskDescription"), &Tasks::createType<ResetDatabase>);
  EXPECT_EQ(registry.at("RequestZemDatabaseTaskDescription"), &Tasks::createType<RequestDatabase>);
}

TEST_F(TaskFactoryTest, BaseGivesIdentityPriorityModuleOutboxAndFileTypes) {
  const ProbeTask withoutDescription(ZipArchive(), nullptr);
  EXPECT_EQ(withoutDescription.getID(), "");
  EXPECT_EQ(withoutDescription.getPriority(), 0);
  EXPECT_EQ(withoutDescription.getModuleName(), "ZEM");
  EXPECT_EQ(withoutDescription.getOutboxFolder(), DevicePaths::applicationDataFolder() + "/OUTBOX");
  EXPECT_FALSE(withoutDescription.isMissingMandatoryEncryption());
  EXPECT_EQ(withoutDescription.getErrorType(), 0);
  EXPECT_EQ(withoutDescription.getErrorMessage(), "");

  const File folder = folder_.getFile();
  EXPECT_EQ(withoutDescription.getFileType(File(folder, "config.xml")), Types::ElementType::PROVISIONING_CONFIG);
  EXPECT_EQ(withoutDescription.getFileType(File(folder, "database.xml")), Types::ElementType::ZEM_DATABASE);
  EXPECT_EQ(withoutDescription.getFileType(File(folder, "Database.xml")), Types::ElementType::DATA_FILE);
  EXPECT_EQ(withoutDescription.getFileType(File(folder, "result.xml")), Types::ElementType::TASK_RESULT);

  // A task without container has nothing to clean up.
  ProbeTask cleaned(ZipArchive(), nullptr);
  cleaned.cleanUpZipContainer();

  auto request = taskFor(description("RequestZemDatabaseTaskDescription", "p"));
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->getPriority(), 0);
  EXPECT_EQ(request->getModuleName(), "ZEM");
}

TEST_F(TaskFactoryTest, ResultDocumentCarriesTaskIdAndErrorInfo) {
  const File folder(folder_.getFile(), "result");
  folder.mkdirs();

  // No description: the required taskId is written empty.
  ProbeTask anonymous(ZipArchive(), nullptr);
  anonymous.writeResult(folder, true);
  auto result = xmldoc::parseFile<Types::RequestZemDatabaseTaskResult>(File(folder, "result.xml").getPath());
  EXPECT_EQ(result->get_taskId(), "");
  ASSERT_NE(result->element_errorInfo(), nullptr);
  EXPECT_TRUE(result->element_errorInfo()->get_success());
  EXPECT_FALSE(result->element_errorInfo()->has_errorType());  // only the flag
  EXPECT_FALSE(result->element_errorInfo()->has_errorMessage());

  // With a description, a failure and the error the kind set.
  auto described = xmldoc::parseString<Types::TaskDescription>(description("ResetZemDatabaseTaskDescription", "t-7"));
  ProbeTask failed(ZipArchive(), std::move(described));
  failed.fail(3, "went wrong");
  failed.writeResult(folder, false);
  result = xmldoc::parseFile<Types::RequestZemDatabaseTaskResult>(File(folder, "result.xml").getPath());
  EXPECT_EQ(result->get_taskId(), "t-7");
  EXPECT_FALSE(result->element_errorInfo()->get_success());
  EXPECT_EQ(result->element_errorInfo()->get_errorType(), 3);
  EXPECT_EQ(result->element_errorInfo()->get_errorMessage(), "went wrong");

  // A folder that cannot take the file: logged, nothing thrown, nothing written.
  LogCapture log;
  const File missing(folder_.getFile(), "missing");
  EXPECT_NO_THROW(failed.writeResult(missing, false));
  EXPECT_TRUE(
      log.contains(log4cplus::ERROR_LOG_LEVEL, "Error while creating result.xml file: " + missing.getAbsolutePath()))
      << log.dump();
  EXPECT_FALSE(File(missing, "result.xml").exists());
}

}  // namespace
