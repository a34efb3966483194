// The installed provisioning configuration is replaced only when a usable schema finds it invalid.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "PipelineTestSupport.h"
#include "ZemApp.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"

namespace {

using kest::testing::LogCapture;

TEST(StartUpPolicyTest, AnInvalidConfigurationIsKeptWithOneWarningUnlessAUsableSchemaJudgesIt) {
  const File installed(DevicePaths::installedConfigFolder() + "/config.xml");
  const File defaults(DevicePaths::defaultConfigFolder() + "/config.xml");
  const File schema(DevicePaths::configurationSchema());
  std::string validSchema;
  ASSERT_TRUE(schema.readAll(&validSchema));
  // schema present; default valid (a default that fails the schema is how an unusable schema
  // shows, compiled schemas being cached); installed file replaced
  const std::vector<std::tuple<bool, bool, bool>> rows = {
      {false, true, false}, {true, false, false}, {true, true, true}};
  for (const auto& [withSchema, validDefault, replaced] : rows) {
    SCOPED_TRACE(std::to_string(withSchema) + std::to_string(validDefault));
    pipelinetest::freshDevice();
    if (!validDefault) ASSERT_TRUE(defaults.writeAtomically("<config>bad default</config>"));
    installed.getParentFile().mkdirs();
    ASSERT_TRUE(installed.writeAtomically("<config>invalid</config>"));
    if (!withSchema) schema.remove();
    LogCapture log;
    getApp()->installDefaultConfigIfNeeded();
    std::string text;
    ASSERT_TRUE(installed.readAll(&text));
    EXPECT_EQ(text != "<config>invalid</config>", replaced);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "the installed configuration is kept"), replaced ? 0u : 1u);
    if (!withSchema) ASSERT_TRUE(schema.writeAtomically(validSchema));
  }
}

}  // namespace
