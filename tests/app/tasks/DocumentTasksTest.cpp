// The provisioning-config jobs on a started application, each through "JobAppeared", queue and task.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"
#include "properties/ProvisioningAdapterMap.h"

namespace {

using kest::testing::LogCapture;
using namespace apptest;

std::string configWith(const std::string& value) {
  return document("ProvisioningConfig", propertyXml("StringPropertyAdapter", "propertyName=\"s\"",
                                                    "StringLiteralPropertyOrigin", "<k:value>" + value + "</k:value>"));
}

class ProvisioningConfigTasksTest : public ::testing::Test {
 protected:
  static File installed() { return File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName); }
  File install(const std::string& id, const std::string& value, const std::string& attributes = "") {
    return makeJob(inboxFile(id + ".zip"), description("InstallProvisioningConfigTaskDescription", id, attributes),
                   {{"PROVISIONING_CONFIG", {"c.xml", configWith(value)}}});
  }
  File plain(const std::string& kind, const std::string& id) {
    return makeJob(inboxFile(id + ".zip"), description(kind + "ProvisioningConfigTaskDescription", id));
  }
  RunningApp app_;  // on a fresh device: the default configuration ("s" = "default") is installed
};

// One row per job, in sequence: outcome, what "s" reads after ("" when nothing is installed), the ERROR.
TEST_F(ProvisioningConfigTasksTest, InstallNeedsForceOverrideDeleteAndRequestReportAMissingConfig) {
  const std::string at = installed().getAbsolutePath(), refused = "Config is already installed at: " + at;
  struct Row {
    std::function<File()> container;
    bool success;
    std::string reads, error;
  };
  const Row rows[] = {
      {[&] { return plain("Delete", "d1"); }, true, "", ""},
      {[&] { return plain("Delete", "d2"); }, false, "", "Provisioning config does not exists at: " + at},
      {[&] { return plain("Request", "q1"); }, false, "", "Provisioning config does not exists at: " + at},
      {[&] { return plain("Install", "empty"); }, false, "", "Invalid Job Config in Task Container!"},
      {[&] { return install("i1", "one"); }, true, "one", ""},
      {[&] { return install("i2", "two"); }, false, "one", refused + " Remove it first! "},
      {[&] { return install("i3", "two", "forceOverride=\"false\""); }, false, "one", refused},
      {[&] { return install("i4", "two", "forceOverride=\"true\""); }, true, "two", ""},
  };
  for (const Row& row : rows) {
    const File container = row.container();
    SCOPED_TRACE(container.getName());
    LogCapture log;
    const ResultPackage package = app_.runJob(container);
    EXPECT_EQ(succeeded(package), row.success);
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("s"), row.reads);
    EXPECT_EQ(installed().exists(), !row.reads.empty());
    EXPECT_TRUE(row.error.empty() || log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << row.error;
    EXPECT_EQ(package.entries.count("config.xml"), 0u);  // only a request sends the configuration
  }
}

// The disk-space check runs also when the override is refused; neither failure touches file or map.
TEST_F(ProvisioningConfigTasksTest, TooLittleSpaceFailsAnInstallAndIsReportedEvenWhenTheOverrideIsRefused) {
  const std::string before = readFile(installed());
  app_.settings().getDocument()->set_maximumDataSize(1);  // 1 KiB
  for (const std::string& attributes : {std::string(), std::string("forceOverride=\"true\"")}) {
    SCOPED_TRACE(attributes);
    LogCapture log;
    EXPECT_FALSE(succeeded(app_.runJob(install("big", std::string(4096, 'x'), attributes))));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Used disk space is too high (used = "));
    EXPECT_EQ(log.contains(log4cplus::ERROR_LOG_LEVEL, "Config is already installed at: "), attributes.empty());
    EXPECT_EQ(readFile(installed()), before);
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("s"), "default");
  }
}

}  // namespace
