// The search of a container for a document by index entry type: index order and skipped candidates.
// Strict entry type texts, containers that yield nothing and a document of the wrong type under the
// wanted entry type are covered by JobIntakeTest, payload entries by DatabaseTasksTest, hostile
// entries by ZipArchiveTest and JobsE2ETest, signatures by SecurityServiceTest and JobsE2ETest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunningApp.h"
#include "jobs/ConfigLoader.h"
#include "kest/testing/LogCapture.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using namespace apptest;
using kest::testing::LogCapture;

TEST(ContainerSearchTest, FirstReadableEntryOfTheWantedTypeWins) {
  // A missing entry, then a document that does not parse, then the good one, then another good one.
  const File container = makeZip(File(freshFolder("search"), "skip.zip"),
                                 {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"},
                                                               {"TASK_REQUEST", "missing.xml"},
                                                               {"TASK_REQUEST", "broken.xml"},
                                                               {"TASK_REQUEST", "good.xml"},
                                                               {"TASK_REQUEST", "later.xml"}})},
                                  {"db.xml", databaseXml(entryXml("k", valueXml("String", "v")))},
                                  {"broken.xml", "<k:config>not closed"},
                                  {"good.xml", description("RequestZemDatabaseTaskDescription", "good")},
                                  {"later.xml", description("RequestZemDatabaseTaskDescription", "later")}});
  LogCapture log;
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
  const File many = makeZip(File(freshFolder("many"), "many.zip"),
                            {{"index.xml", indexDocument(entries)},
                             {"broken.xml", "<k:config>not closed"},
                             {"good.xml", description("RequestZemDatabaseTaskDescription", "good")}});
  EXPECT_EQ((ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(
                ZipArchive::openForReading(many.getPath()), nullptr)),
            nullptr);
}

}  // namespace
