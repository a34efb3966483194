// The task factory and the task base: which kind a container yields and the result document. An
// unknown kind is covered by JobIntakeTest.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RunningApp.h"
#include "jobs/ZemTask.h"
#include "jobs/ZemTaskFactory.h"
#include "tasks/DatabaseDocument.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using namespace apptest;

// A kind that records nothing; lets tests reach the protected parts of the base.
class ProbeTask : public ZemTask {
 public:
  ProbeTask(const ZipArchive& archive, DescriptionPtr description) : ZemTask(archive, std::move(description)) {}
  bool execute() override { return true; }
  using ZemTask::errorMessage;
  using ZemTask::errorType;
  void writeResult(const File& folder, bool success) {
    ZemTask::createTaskResults<Types::RequestZemDatabaseTaskResult>(folder, success);
  }
};

class TaskFactoryTest : public ::testing::Test {
 protected:
  std::unique_ptr<ZemTask> taskFor(const std::string& descriptionXml) {
    ZipArchive archive = ZipArchive::openForReading(makeJob(File(folder_, "job.zip"), descriptionXml).getPath());
    return Tasks::ZemTaskFactory::createTask(archive);
  }
  const File folder_ = freshFolder("factory");
};

TEST_F(TaskFactoryTest, DescriptionTypeSelectsTheRegisteredKindWithOrWithoutNamespacePrefix) {
  // The usual prefix: every job test. Here the xsi:type uses another prefix bound to the same namespace.
  auto prefixed = taskFor(
      "<?xml version=\"1.0\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:p=\"http://www.olvane.com/kolconfig\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<k:content xsi:type=\"p:RequestZemDatabaseTaskDescription\" taskId=\"job-2\"/></k:config>\n");
  EXPECT_NE(dynamic_cast<RequestDatabase*>(prefixed.get()), nullptr);
  EXPECT_EQ(prefixed->getID(), "job-2");
}

TEST_F(TaskFactoryTest, TheResultDocumentCarriesOnlyWhatWasSet) {
  ProbeTask anonymous(ZipArchive(), nullptr);
  const File folder(folder_, "result");

  // No description: the required taskId is written empty; a success carries only the flag.
  ASSERT_TRUE(folder.mkdirs());
  anonymous.writeResult(folder, true);
  auto result = xmldoc::parseFile<Types::RequestZemDatabaseTaskResult>(File(folder, "result.xml").getPath());
  EXPECT_EQ(result->get_taskId(), "");
  EXPECT_TRUE(result->element_errorInfo()->get_success());
  EXPECT_FALSE(result->element_errorInfo()->has_errorType());
  EXPECT_FALSE(result->element_errorInfo()->has_errorMessage());

  ProbeTask failed(ZipArchive(),
                   xmldoc::parseString<Types::TaskDescription>(description("ResetZemDatabaseTaskDescription", "t-7")));
  failed.errorType = 3;
  failed.errorMessage = "went wrong";
  failed.writeResult(folder, false);
  result = xmldoc::parseFile<Types::RequestZemDatabaseTaskResult>(File(folder, "result.xml").getPath());
  EXPECT_EQ(result->get_taskId(), "t-7");
  EXPECT_FALSE(result->element_errorInfo()->get_success());
  EXPECT_EQ(result->element_errorInfo()->get_errorType(), 3);
  EXPECT_EQ(result->element_errorInfo()->get_errorMessage(), "went wrong");
}

}  // namespace
