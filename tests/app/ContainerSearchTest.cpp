// The search of a container for a document by index entry type: index order, skipped candidates,
// strict entry type texts, containers that yield nothing, and signatures checked against the
// signing slot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigLoader.h"
#include "PipelineTestSupport.h"
#include "ZemTask.h"
#include "kest/TempFile.h"
#include "kest/security/SecurityService.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XSDEnumException.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using kest::testing::LogCapture;
using pipelinetest::description;
using pipelinetest::indexDocument;
using pipelinetest::makeContainer;

xmldoc::DocumentPtr<Types::TaskDescription> findDescription(const File& container,
                                                            Security::SecurityService* security = nullptr) {
  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  return ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(archive, security);
}

class ContainerSearchTest : public ::testing::Test {
 protected:
  File path(const std::string& name) const { return File(folder_.getFile(), name); }
  TempFile folder_{"search"};
  const std::string good_ = description("RequestZemDatabaseTaskDescription", "good");
};

TEST_F(ContainerSearchTest, FirstReadableEntryOfTheWantedTypeWins) {
  // A missing entry, then a document that does not parse, then the good one, then another good one.
  const File container =
      makeContainer(path("skip.zip"), {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"},
                                                                    {"TASK_REQUEST", "missing.xml"},
                                                                    {"TASK_REQUEST", "broken.xml"},
                                                                    {"TASK_REQUEST", "good.xml"},
                                                                    {"TASK_REQUEST", "later.xml"}})},
                                       {"db.xml", pipelinetest::databaseDocument("k", "v")},
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
  const File container = makeContainer(
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
  const std::vector<std::pair<std::string, std::vector<pipelinetest::Entry>>> rows = {
      {"no-index", {{"task.xml", good_}}},
      {"index-not-an-index", {{"index.xml", good_}, {"task.xml", good_}}},
      {"dotdot", {{"index.xml", request("../task.xml")}, {"../task.xml", good_}}},
      {"absolute", {{"index.xml", request("/tmp/zem-absolute-task.xml")}, {"/tmp/zem-absolute-task.xml", good_}}},
      {"link", {{"index.xml", request("task.xml")}, {"task.xml", "/etc/passwd", true}}},
      {"dtd", {{"index.xml", request("task.xml")}, {"task.xml", dtd}}},
      {"huge", {{"index.xml", request("task.xml")}, {"task.xml", huge}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    const File container = pipelinetest::makeRawContainer(path(row.first + ".zip"), row.second);
    LogCapture log;
    EXPECT_EQ(findDescription(container), nullptr);
    EXPECT_GE(log.count(log4cplus::ERROR_LOG_LEVEL), 1u);
    EXPECT_FALSE(ZemTask::checkIfTaskContainerIsValid(ZipArchive::openForReading(container.getPath()), nullptr));
  }
  EXPECT_FALSE(File(File::tmpFolder(), "task.xml").exists());
  EXPECT_FALSE(File("/tmp/zem-absolute-task.xml").exists());
}

TEST_F(ContainerSearchTest, SignaturesAreCheckedWhenTheSigningSlotHoldsACertificate) {
  const File certificates(folder_.getFile(), "certs");
  const auto signer = pipelinetest::makeKeyPair(File(folder_.getFile(), "keys"), "signer");
  const auto stranger = pipelinetest::makeKeyPair(File(folder_.getFile(), "keys"), "stranger");
  Security::SecurityService security(certificates.getPath());
  const auto signedWith = [&](const std::string& name, const std::string& signature) {
    return makeContainer(
        path(name), {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml", signature}})}, {"task.xml", good_}});
  };
  const File good = signedWith("good.zip", pipelinetest::sign(signer, good_));
  const File wrong = signedWith("wrong.zip", pipelinetest::sign(stranger, good_));
  const File unsignedContainer = signedWith("unsigned.zip", "");

  // Development mode: an empty slot checks nothing.
  EXPECT_NE(findDescription(wrong, &security), nullptr);
  EXPECT_NE(findDescription(unsignedContainer, &security), nullptr);

  certificates.mkdirs();
  ASSERT_TRUE(signer.certificate.copyTo(File(certificates, "Cert2_Signing_CA")));
  EXPECT_NE(findDescription(good, &security), nullptr);
  LogCapture log;
  EXPECT_EQ(findDescription(wrong, &security), nullptr);
  EXPECT_EQ(findDescription(unsignedContainer, &security), nullptr);
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "File cannot be extracted for security reasons: task.xml"));
}

}  // namespace
