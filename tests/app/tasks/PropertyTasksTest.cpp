// The property request and update jobs on a started application: outcome, error fields, values.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PropertyTestSupport.h"
#include "kest/DevicePaths.h"

namespace {

using namespace apptest;

using proptest::named;

// "s" and "Code" literals; group P, owned by X (jobs are not bound by owners), of persisted kinds;
// the log level.
const std::string kConfig = document(
    "ProvisioningConfig", named("String", "s", "StringLiteral", "<k:value>hello</k:value>") +
                              named("Integer", "Code", "IntegerLiteral", "<k:value>007</k:value>") +
                              named("String", "ZEM.LOGLEVEL", "PersistedString", "<k:key>ZEM.LOGLEVEL</k:key>") +
                              groupXml("P", {"X"},
                                       named("Integer", "i", "PersistedInteger", "<k:key>P.i</k:key>") +
                                           named("List", "l", "PersistedList", "<k:key>P.l</k:key>") +
                                           named("Map", "m", "PersistedMap", "<k:key>P.m</k:key>")));

class PropertyTasksTest : public ::testing::Test {
 protected:
  ResultPackage update(const std::string& id, const std::string& entries) {
    return proptest::runPropertiesJob(*app_, "UpdatePropertyZemTaskDescription", id, entries);
  }
  ResultPackage request(const std::string& id, const std::vector<std::string>& names) {
    std::string body;
    for (const std::string& name : names) body += "<k:propertyName>" + name + "</k:propertyName>";
    return app_->runJob(
        makeJob(inboxFile(id + ".zip"), document("RequestPropertyZemTaskDescription", body, "taskId=\"" + id + "\"")));
  }

  std::unique_ptr<RunningApp> app_ = proptest::startWithDefaultConfig(kConfig);
};

// Every entry is applied; the outcome is the last entry's, the error the last failure's; misfits store nothing.
TEST_F(PropertyTasksTest, AnUpdateAppliesEveryEntryAndReportsTheLastOutcomeAndTheLastFailure) {
  struct Row {
    std::string entries;
    bool success;
    std::string errorMessage, storedInteger;  // errorMessage "": no error fields
    std::string storedLevel = "";
  };
  const Row rows[] = {
      {entryXml("s", valueXml("String", "x")) + entryXml("Code", valueXml("Integer", "8")) +
           entryXml("P.i", valueXml("Integer", "6")) + entryXml("P.l", valueXml("String", "x")),
       false, "Impossible to update property P.l", "6"},
      {entryXml("P.i", valueXml("String", "seven")), false, "Impossible to update property P.i", "6"},
      {entryXml("P.i", ""), false, "Impossible to update property P.i", "6"},
      {"", false, "", "6"},
      {entryXml("ZEM.LOGLEVEL", valueXml("String", "INFO")), true, "", "6", "INFO"},
      // A level start-up could not apply is refused; the stored one stays.
      {entryXml("ZEM.LOGLEVEL", valueXml("String", "NOT_A_LEVEL")), false, "Impossible to update property ZEM.LOGLEVEL",
       "6", "INFO"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.entries);
    proptest::expectErrorInfo(update("u" + std::to_string(n++), row.entries), "UpdatePropertyZemTaskResult",
                              row.success, row.errorMessage.empty() ? 0 : 7, row.errorMessage);
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("P.i"), row.storedInteger);
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("s"), "hello");
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("ZEM.LOGLEVEL"), row.storedLevel);
  }
}

// A request answers each distinct name once, as a typed persisted value; literals as written.
TEST_F(PropertyTasksTest, ARequestSendsTypedValuesAndTheOutcomeOfItsLastName) {
  ASSERT_TRUE(succeeded(update("set", entryXml("P.i", valueXml("Integer", "5")) +
                                          entryXml("P.l", listXml({valueXml("String", "a")})) +
                                          entryXml("P.m", mapXml(entryXml("k", valueXml("Boolean", "true")))))));
  struct Row {
    std::vector<std::string> names;
    bool success;
    std::string sent;  // key=type of each entry of the result's properties
  };
  const Row rows[] = {
      {{"Code", "s", "P.i", "P.l", "P.m", "Code", "missing"},
       false,
       "Code=PersistedStringValue s=PersistedStringValue P.i=PersistedIntegerValue P.l=PersistedListValue "
       "P.m=PersistedMapValue "},
      {{"missing", "P.i"}, true, "P.i=PersistedIntegerValue "},
      {{}, false, ""},
  };
  int n = 0;
  for (const Row& row : rows) {
    const ResultPackage package = request("q" + std::to_string(n++), row.names);
    const auto* result = dynamic_cast<const Types::RequestPropertyZemTaskResult*>(package.result.get());
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->element_errorInfo()->get_success(), row.success);
    // A request sets no error type: its result carries none, whatever the outcome.
    EXPECT_EQ(package.entries.at("result.xml").find("errorType"), std::string::npos)
        << package.entries.at("result.xml");
    std::string sent;
    for (const auto& entry : result->element_properties()->elements_entry())
      sent += entry->get_key() + "=" + (entry->element_value() ? entry->element_value()->typeName() : "-") + " ";
    EXPECT_EQ(sent, row.sent);
  }
  const std::string text = request("texts", {"Code", "P.i", "P.l", "P.m"}).entries.at("result.xml");
  for (const char* expected : {">007<", "<k:integerValue>5</k:integerValue>", "<k:stringValue>a</k:stringValue>",
                               "<k:key>k</k:key>", "<k:booleanValue>true</k:booleanValue>"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

}  // namespace
