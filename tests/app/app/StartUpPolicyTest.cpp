// The installed configuration is replaced only when a usable schema finds it invalid.
#include <gtest/gtest.h>

#include "ZemTestSupport.h"
#include "app/ZemApp.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"

TEST(StartUpPolicyTest, AnInvalidConfigurationIsKeptWithOneWarningUnlessAUsableSchemaJudgesIt) {
  const File installed(DevicePaths::installedConfigFolder() + "/config.xml"),
      schema(DevicePaths::configurationSchema());
  std::string validSchema, text;
  ASSERT_TRUE(schema.readAll(&validSchema));  // rows: schema present, default valid (see below)
  for (const auto& [withSchema, validDefault] : {std::pair{false, true}, {true, false}, {true, true}}) {
    zem_test::freshDevice();
    if (!validDefault) File(DevicePaths::defaultConfigFolder() + "/config.xml").writeAtomically("<bad/>");
    ASSERT_TRUE(installed.getParentFile().mkdirs() && installed.writeAtomically("<invalid/>"));
    if (!withSchema) schema.remove();
    kest::testing::LogCapture log;
    getApp()->installDefaultConfigIfNeeded();
    const bool replaced = withSchema && validDefault;  // a broken schema fails the default too
    EXPECT_TRUE(installed.readAll(&text) && (text == "<invalid/>") != replaced) << withSchema << validDefault;
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "the installed configuration is kept"), replaced ? 0u : 1u);
    ASSERT_TRUE(withSchema || schema.writeAtomically(validSchema));
  }
}
