// Logging configured from a properties file. A separate executable: logging is configured once
// per process, and the other host tests run on the default configuration.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TempFile.h"

namespace {

File customLog() { return File(DevicePaths::dataFolder() + "/custom.log"); }

}  // namespace

TEST(LoggingConfigurationTest, PropertiesFileReplacesTheDefaultAppendersAndLevel) {
  ZEM_DEBUG("below the configured level");
  ZEM_INFO("configured from\nproperties");
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "escaped\tline");

  std::string content;
  ASSERT_TRUE(customLog().readAll(&content));
  EXPECT_EQ(content, "INFO|configured from\\nproperties\nERROR|escaped\\tline\n");
  EXPECT_FALSE(File(DevicePaths::systemLogFile()).exists());  // the default appenders were not installed
}

int main(int argc, char** argv) {
  TempFile sysroot("zem-test-sysroot-");
  ::setenv("ZEM_SYSROOT", sysroot.getFile().getPath().c_str(), 1);
  const File properties(DevicePaths::loggingConfigFile());
  if (!properties.getParentFile().mkdirs() ||
      !properties.writeAtomically("log4cplus.logger.ZEM_APP=INFO, F\n"
                                  "log4cplus.appender.F=log4cplus::FileAppender\n"
                                  "log4cplus.appender.F.File=" +
                                  customLog().getPath() +
                                  "\n"
                                  "log4cplus.appender.F.CreateDirs=true\n"
                                  "log4cplus.appender.F.layout=log4cplus::PatternLayout\n"
                                  "log4cplus.appender.F.layout.ConversionPattern=%p|%m%n\n")) {
    return 2;
  }
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
