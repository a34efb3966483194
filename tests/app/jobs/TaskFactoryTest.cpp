// The task factory: the search of a container for its description (index order, skipped
// candidates) and which kind it yields. Strict entry type texts, unknown
// kinds and containers that yield nothing are covered by JobIntakeTest, hostile entries by
// ZipArchiveTest and JobsE2ETest, signatures by SecurityServiceTest and JobsE2ETest.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "jobs/ConfigLoader.h"
#include "jobs/ZemTask.h"
#include "jobs/ZemTaskFactory.h"
#include "kest/testing/LogCapture.h"
#include "tasks/DatabaseDocument.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using namespace apptest;

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

TEST_F(TaskFactoryTest, TheFirstReadableDescriptionOfTheIndexWinsAmongAtMostMaxCandidates) {
  // A missing entry, then a document that does not parse, then the good one, then another good one.
  const File container =
      makeZip(File(folder_, "skip.zip"), {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"},
                                                                       {"TASK_REQUEST", "missing.xml"},
                                                                       {"TASK_REQUEST", "broken.xml"},
                                                                       {"TASK_REQUEST", "good.xml"},
                                                                       {"TASK_REQUEST", "later.xml"}})},
                                          {"db.xml", databaseXml(entryXml("k", valueXml("String", "v")))},
                                          {"broken.xml", "<k:config>not closed"},
                                          {"good.xml", description("RequestZemDatabaseTaskDescription", "good")},
                                          {"later.xml", description("RequestZemDatabaseTaskDescription", "later")}});
  kest::testing::LogCapture log;
  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  const auto found =
      ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(archive, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->get_taskId(), "good");
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: missing.xml"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot extract the XML item missing.xml"));
  EXPECT_FALSE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: later.xml"));

  // Only the first kMaxCandidates entries of the type are tried.
  std::vector<std::vector<std::string>> entries(ConfigLoader::kMaxCandidates, {"TASK_REQUEST", "broken.xml"});
  entries.push_back({"TASK_REQUEST", "good.xml"});
  const File many =
      makeZip(File(folder_, "many.zip"), {{"index.xml", indexDocument(entries)},
                                          {"broken.xml", "<k:config>not closed"},
                                          {"good.xml", description("RequestZemDatabaseTaskDescription", "good")}});
  EXPECT_EQ((ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(
                ZipArchive::openForReading(many.getPath()), nullptr)),
            nullptr);
}

}  // namespace
