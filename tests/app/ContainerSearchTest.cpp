// The search of a container for a document by index entry type: index order, skipped candidates,
// strict entry type texts, and hostile containers that yield nothing. Signatures are checked end to
// end (JobsE2ETest) and in SecurityServiceTest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigLoader.h"
#include "RunningApp.h"
#include "ZemTask.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XSDEnumException.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using namespace apptest;
using kest::testing::LogCapture;

xmldoc::DocumentPtr<Types::TaskDescription> findDescription(const File& container) {
  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  return ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(archive, nullptr);
}

class ContainerSearchTest : public ::testing::Test {
 protected:
  File path(const std::string& name) const { return File(folder_, name); }
  const File folder_ = freshFolder("search");
  const std::string good_ = description("RequestZemDatabaseTaskDescription", "good");
};

TEST_F(ContainerSearchTest, FirstReadableEntryOfTheWantedTypeWins) {
  // A missing entry, then a document that does not parse, then the good one, then another good one.
  const File container =
      makeZip(path("skip.zip"), {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"},
                                                                    {"TASK_REQUEST", "missing.xml"},
                                                                    {"TASK_REQUEST", "broken.xml"},
                                                                    {"TASK_REQUEST", "good.xml"},
                                                                    {"TASK_REQUEST", "later.xml"}})},
                                       {"db.xml", databaseXml(entryXml("k", valueXml("String", "v")))},
                                       {"broken.xml", "<k:config>not closed"},
                                       {"good.xml", good_},
                                       {"later.xml", description("RequestZemDatabaseTaskDescription", "later")}});
  LogCapture log;
  const auto found = findDescription(container);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->get_taskId(), "good");
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: missing.xml"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot extract the XML item missing.xml"));
  EXPECT_FALSE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: later.xml"));

  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  EXPECT_NE((ConfigLoader::loadAndGet<Types::PersistedDatabase, Types::ElementType::ZEM_DATABASE>(archive, nullptr)),
            nullptr);
  EXPECT_EQ(
      (ConfigLoader::loadAndGet<Types::ProvisioningConfig, Types::ElementType::PROVISIONING_CONFIG>(archive, nullptr)),
      nullptr);
  // A document of the wrong type under the wanted entry type is skipped like a broken one.
  EXPECT_EQ((ConfigLoader::loadAndGet<Types::PersistedDatabase, Types::ElementType::TASK_REQUEST>(archive, nullptr)),
            nullptr);
}

TEST_F(ContainerSearchTest, UnknownEntryTypeTextThrowsEvenWhenAValidEntryFollows) {
  const File container = makeZip(
      path("enum.zip"), {{"index.xml", indexDocument({{"task_request", "task.xml"}, {"TASK_REQUEST", "task.xml"}})},
                         {"task.xml", good_}});
  try {
    findDescription(container);
    FAIL() << "no exception";
  } catch (const XSDEnumException& e) {
    EXPECT_STREQ(e.what(), "Unable to parse the enum value task_request");
  }
  EXPECT_THROW(ZemTask::checkIfTaskContainerIsValid(ZipArchive::openForReading(container.getPath()), nullptr),
               XSDEnumException);
}

// Containers that yield no description: each logs an ERROR and leaves no file behind.
TEST_F(ContainerSearchTest, UnreadableOrHostileContainersYieldNothing) {
  const std::string dtd =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [<!ENTITY e \"x\">]>\n"
      "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<k:content xsi:type=\"k:RequestZemDatabaseTaskDescription\" taskId=\"&e;\"/></k:config>\n";
  std::string huge = good_;  // 50 MB of blanks inside an otherwise valid description
  huge.insert(huge.find("<k:content"), std::string(50u * 1024 * 1024, ' '));
  const auto request = [](const std::string& name) { return indexDocument({{"TASK_REQUEST", name}}); };
  const std::vector<std::pair<std::string, std::vector<Entry>>> rows = {
      {"absolute", {{"index.xml", request("/tmp/zem-absolute-task.xml")}, {"/tmp/zem-absolute-task.xml", good_}}},
      {"link", {{"index.xml", request("task.xml")}, {"task.xml", "/etc/passwd", true}}},
      {"dtd", {{"index.xml", request("task.xml")}, {"task.xml", dtd}}},
      {"huge", {{"index.xml", request("task.xml")}, {"task.xml", huge}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    const File container = makeZip(path(row.first + ".zip"), row.second);
    LogCapture log;
    EXPECT_EQ(findDescription(container), nullptr);
    EXPECT_GE(log.count(log4cplus::ERROR_LOG_LEVEL), 1u);
    EXPECT_FALSE(ZemTask::checkIfTaskContainerIsValid(ZipArchive::openForReading(container.getPath()), nullptr));
  }
  EXPECT_FALSE(File(File::tmpFolder(), "task.xml").exists());
  EXPECT_FALSE(File("/tmp/zem-absolute-task.xml").exists());
}

}  // namespace
