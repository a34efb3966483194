// The search of a container for a document by index entry type: index order, skipped candidates,
// strict entry type texts, hostile entries, and signatures checked against the signing slot.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AppTestEnvironment.h"
#include "ConfigLoader.h"
#include "PipelineTestSupport.h"
#include "ZemTask.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/security/SecurityService.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XSDEnumException.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using kest::testing::LogCapture;
using pipelinetest::description;
using pipelinetest::Entry;
using pipelinetest::indexDocument;
using pipelinetest::makeContainer;
using pipelinetest::makeRawContainer;

xmldoc::DocumentPtr<Types::TaskDescription> findDescription(const File& container,
                                                            Security::SecurityService* security = nullptr) {
  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  return ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(archive, security);
}

class ContainerSearchTest : public ::testing::Test {
 protected:
  File path(const std::string& name) const { return File(folder_.getFile(), name); }
  TempFile folder_{"search"};
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
                                       {"good.xml", description("RequestZemDatabaseTaskDescription", "good")},
                                       {"later.xml", description("RequestZemDatabaseTaskDescription", "later")}});
  LogCapture log;
  const auto found = findDescription(container);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->get_taskId(), "good");
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: missing.xml"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot extract the XML item missing.xml"));
  EXPECT_FALSE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Found job definition: later.xml"));

  // The same search for another type finds the payload, for a type absent from the index nothing.
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
                         {"task.xml", description("RequestZemDatabaseTaskDescription", "x")}});
  try {
    findDescription(container);
    FAIL() << "no exception";
  } catch (const XSDEnumException& e) {
    EXPECT_STREQ(e.what(), "Unable to parse the enum value task_request");
  }
  const ZipArchive archive = ZipArchive::openForReading(container.getPath());
  EXPECT_THROW(ZemTask::checkIfTaskContainerIsValid(archive, nullptr), XSDEnumException);
}

TEST_F(ContainerSearchTest, MissingOrUnreadableIndexYieldsNothing) {
  LogCapture log;
  const File noIndex =
      makeContainer(path("no-index.zip"), {{"task.xml", description("ResetZemDatabaseTaskDescription", "x")}});
  EXPECT_EQ(findDescription(noIndex), nullptr);
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot extract the XML item index.xml"));

  const File badIndex =
      makeContainer(path("bad-index.zip"), {{"index.xml", description("ResetZemDatabaseTaskDescription", "x")},
                                            {"task.xml", description("ResetZemDatabaseTaskDescription", "x")}});
  EXPECT_EQ(findDescription(badIndex), nullptr);

  const ZipArchive archive = ZipArchive::openForReading(noIndex.getPath());
  EXPECT_FALSE(ZemTask::checkIfTaskContainerIsValid(archive, nullptr));
}

TEST_F(ContainerSearchTest, HostileEntriesAreSkippedWithoutLeavingFiles) {
  const std::string good = description("RequestZemDatabaseTaskDescription", "good");
  const std::string dtd =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [<!ENTITY e \"x\">]>\n"
      "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<k:content xsi:type=\"k:RequestZemDatabaseTaskDescription\" taskId=\"&e;\"/></k:config>\n";
  // 50 MB of blanks inside an otherwise valid description.
  std::string huge = description("RequestZemDatabaseTaskDescription", "huge");
  huge.insert(huge.find("<k:content"), std::string(50u * 1024 * 1024, ' '));

  const std::vector<std::pair<std::string, std::vector<Entry>>> cases = {
      {"dotdot", {{"../task.xml", good}}},
      {"absolute", {{"/tmp/zem-absolute-task.xml", good}}},
      {"link", {{"task.xml", "/etc/passwd", true}}},
      {"dtd", {{"task.xml", dtd}}},
      {"huge", {{"task.xml", huge}}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.first);
    std::vector<Entry> entries = {{"index.xml", indexDocument({{"TASK_REQUEST", testCase.second[0].name}})}};
    entries.insert(entries.end(), testCase.second.begin(), testCase.second.end());
    const File container = makeRawContainer(path(testCase.first + ".zip"), entries);
    LogCapture log;
    EXPECT_EQ(findDescription(container), nullptr);
    EXPECT_GE(log.count(log4cplus::ERROR_LOG_LEVEL), 1u);
  }
  EXPECT_FALSE(File(File::tmpFolder(), "task.xml").exists());
  EXPECT_FALSE(File("/tmp/zem-absolute-task.xml").exists());
}

TEST_F(ContainerSearchTest, SignaturesAreCheckedWhenTheSigningSlotHoldsACertificate) {
  const File certificates(folder_.getFile(), "certs");
  const pipelinetest::KeyPair signer = pipelinetest::makeKeyPair(File(folder_.getFile(), "keys"), "signer");
  const pipelinetest::KeyPair stranger = pipelinetest::makeKeyPair(File(folder_.getFile(), "keys"), "stranger");
  Security::SecurityService security(certificates.getPath());

  const std::string task = description("RequestZemDatabaseTaskDescription", "signed");
  auto containerSignedWith = [&](const std::string& name, const std::string& signature) {
    return makeContainer(path(name),
                         {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml", signature}})}, {"task.xml", task}});
  };
  const File good = containerSignedWith("good.zip", pipelinetest::sign(signer, task));
  const File wrong = containerSignedWith("wrong.zip", pipelinetest::sign(stranger, task));
  const File unsigned_ = containerSignedWith("unsigned.zip", "");

  // Development mode: an empty slot checks nothing.
  EXPECT_NE(findDescription(wrong, &security), nullptr);
  EXPECT_NE(findDescription(unsigned_, &security), nullptr);

  certificates.mkdirs();
  ASSERT_TRUE(signer.certificate.copyTo(File(certificates, "Cert2_Signing_CA")));
  EXPECT_NE(findDescription(good, &security), nullptr);
  LogCapture log;
  EXPECT_EQ(findDescription(wrong, &security), nullptr);
  EXPECT_EQ(findDescription(unsigned_, &security), nullptr);
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "File cannot be extracted for security reasons: task.xml"))
      << log.dump();
}

}  // namespace
