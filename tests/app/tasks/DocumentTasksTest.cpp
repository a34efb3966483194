// The document tasks (install, remove, request) on a started application, each through
// "JobAppeared", queue and task, once for every document they serve: the provisioning
// configuration and the persistent database.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "database/Database.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"
#include "properties/ProvisioningAdapterMap.h"

namespace {

using kest::testing::LogCapture;
using namespace apptest;

// What differs between the documents, as the tests see it.
struct DocumentCase {
  std::string name;
  std::string install, remove, request;  // description types
  std::string entryType;
  std::function<std::string(const std::string&)> content;  // a document in which the value reads `value`
  std::function<std::string()> reads;                      // the value the application now holds; "" without
  std::function<File()> installed;
  std::string alreadyInstalled, invalid, missing;  // ERROR texts
};

const DocumentCase kCases[] = {
    {"ProvisioningConfig", "InstallProvisioningConfigTaskDescription", "DeleteProvisioningConfigTaskDescription",
     "RequestProvisioningConfigTaskDescription", "PROVISIONING_CONFIG",
     [](const std::string& value) {
       return document("ProvisioningConfig",
                       propertyXml("StringPropertyAdapter", "propertyName=\"s\"", "StringLiteralPropertyOrigin",
                                   "<k:value>" + value + "</k:value>"));
     },
     [] { return ProvisioningAdapterMap().getPropertyValue("s"); },
     [] { return File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName); },
     "Config is already installed at: ", "Invalid Job Config in Task Container!",
     "Provisioning config does not exists at: "},
    {"Database", "InstallZemDatabaseTaskDescription", "ResetZemDatabaseTaskDescription",
     "RequestZemDatabaseTaskDescription", "ZEM_DATABASE",
     [](const std::string& value) { return databaseXml(entryXml("name", valueXml("String", value))); },
     [] {
       const auto stored = Database::getInstance()->getString("name");
       return stored->isValid() ? stored->str() : std::string();
     },
     [] { return File(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName); },
     "Database is already installed at: ", "Invalid ZEM database in Task Container!",
     "ZEM database does not exists at: "},
};

// Names the document in test output instead of its bytes.
void PrintTo(const DocumentCase& documentCase, std::ostream* os) { *os << documentCase.name; }

class DocumentTasksTest : public ::testing::TestWithParam<DocumentCase> {
 protected:
  // A container of `type`; it holds a document reading `value` unless that is empty.
  File job(const std::string& type, const std::string& id, const std::string& value = "",
           const std::string& attributes = "") {
    if (value.empty()) return makeJob(inboxFile(id + ".zip"), description(type, id, attributes));
    return makeJob(inboxFile(id + ".zip"), description(type, id, attributes),
                   {{GetParam().entryType, {"d.xml", GetParam().content(value)}}});
  }
  RunningApp app_{RunningApp::Options{true, true}};
};

// One row per job, in sequence: outcome, the value held after ("" when nothing is installed), the
// ERROR, and whether the package carries the document (only a request that succeeds sends it).
TEST_P(DocumentTasksTest, InstallNeedsForceOverrideRemoveAndRequestReportAMissingDocument) {
  const DocumentCase& doc = GetParam();
  const std::string at = doc.installed().getAbsolutePath(), refused = doc.alreadyInstalled + at;
  const std::string fileName = doc.installed().getName();
  struct Row {
    std::string type, value, attributes;  // no value: a container without a document
    bool success;
    std::string reads, error;
    bool sendsFile = false;  // a successful request
  };
  const Row rows[] = {
      {doc.install, "one", "forceOverride=\"true\"", true, "one", ""},
      {doc.install, "two", "", false, "one", refused + " Remove it first! "},
      {doc.install, "two", "forceOverride=\"true\"", true, "two", ""},
      {doc.request, "", "", true, "two", "", true},
      {doc.remove, "", "", true, "", ""},
      {doc.remove, "", "", false, "", doc.missing + at},
      {doc.request, "", "", false, "", doc.missing + at},
      {doc.install, "", "", false, "", doc.invalid},
      {doc.install, "one", "", true, "one", ""},
  };
  int id = 0;
  for (const Row& row : rows) {
    const std::string taskId = "t" + std::to_string(id++);
    SCOPED_TRACE(taskId + " " + row.type);
    LogCapture log;
    const ResultPackage package = app_.runJob(job(row.type, taskId, row.value, row.attributes));
    ASSERT_NE(package.result, nullptr);
    EXPECT_EQ(succeeded(package), row.success);
    const std::string resultType = row.type.substr(0, row.type.size() - std::string("Description").size()) + "Result";
    EXPECT_EQ(package.result->typeName(), resultType);
    EXPECT_EQ(package.indexTypes.at("result.xml"), "TASK_RESULT");
    EXPECT_EQ(doc.reads(), row.reads);
    EXPECT_EQ(doc.installed().exists(), !row.reads.empty());
    EXPECT_TRUE(row.reads.empty() || readFile(doc.installed()).find(">" + row.reads + "<") != std::string::npos);
    EXPECT_TRUE(row.error.empty() || log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << row.error;
    EXPECT_EQ(package.entries.count(fileName), row.sendsFile ? 1u : 0u);
    if (row.sendsFile) {
      EXPECT_EQ(package.entries.at(fileName), readFile(doc.installed()));
    }
  }
}

// The disk-space check runs also when the override is refused; neither failure touches file or value.
TEST_P(DocumentTasksTest, TooLittleSpaceFailsAnInstallAndIsReportedEvenWhenTheOverrideIsRefused) {
  const DocumentCase& doc = GetParam();
  ASSERT_TRUE(succeeded(app_.runJob(job(doc.install, "first", "one", "forceOverride=\"true\""))));
  const std::string before = readFile(doc.installed());
  app_.settings().getDocument()->set_maximumDataSize(1);  // 1 KiB
  for (const std::string& attributes : {std::string(), std::string("forceOverride=\"true\"")}) {
    SCOPED_TRACE(attributes);
    LogCapture log;
    EXPECT_FALSE(succeeded(app_.runJob(job(doc.install, "big", std::string(4096, 'x'), attributes))));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Used disk space is too high (used = "));
    EXPECT_EQ(log.contains(log4cplus::ERROR_LOG_LEVEL, doc.alreadyInstalled), attributes.empty());
    EXPECT_EQ(readFile(doc.installed()), before);
    EXPECT_EQ(doc.reads(), "one");
  }
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentTasksTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DocumentCase>& info) { return info.param.name; });

}  // namespace
