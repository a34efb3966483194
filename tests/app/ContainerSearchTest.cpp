// The search of a container for a document by index entry type: index order and skipped candidates.
// Strict entry type texts and containers that yield nothing are covered by JobIntakeTest, hostile
// entries by ZipArchiveTest and JobsE2ETest, signatures by SecurityServiceTest and JobsE2ETest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigLoader.h"
#include "RunningApp.h"
#include "kest/testing/LogCapture.h"

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

}  // namespace
