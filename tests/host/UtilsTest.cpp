#include "kest/Utils.h"

#include <gtest/gtest.h>

#include <string>

#include "ZemTestSupport.h"
#include "kest/TempFile.h"
#include "kest/ipc/IpcMethodCall.h"

namespace {

std::string versionOf(const std::string& text) {
  Ipc::IpcMethodCallResponse response;
  Utils::checkSoftwareVersion(text, response);
  const auto& p = response.getParameters();
  return std::to_string(p.get<Ipc::IpcIntegerParameter>("major").getValue()) + "/" +
         std::to_string(p.get<Ipc::IpcIntegerParameter>("minor").getValue()) + "/" +
         std::to_string(p.get<Ipc::IpcIntegerParameter>("patch").getValue());
}

}  // namespace

TEST(UtilsTest, CheckSoftwareVersionSplitsIntoThreeIntegersAndReportsBadPartsAsZero) {
  EXPECT_EQ(versionOf("19.22.3"), "19/22/3");
  EXPECT_EQ(versionOf("1.x.3"), "1/0/3");
  EXPECT_EQ(versionOf("7"), "7/0/0");
  EXPECT_EQ(versionOf("1.2.3.4"), "1/2/3");
  EXPECT_EQ(versionOf("-1.+2. 3"), "0/0/0");
  EXPECT_EQ(versionOf("99999999999999999999.1.1"), "0/1/1");
}

TEST(UtilsTest, ReplaceLineInPropertiesFileRewritesMatchingWholeLinesOnlyOrNothing) {
  TempFile tmp;
  const File file(tmp.getFile(), "log4cplus.properties");
  ASSERT_TRUE(
      file.writeAtomically("log4cplus.rootLogger=INFO, A\n"
                           "# log4cplus.logger.ZEM_APP=DEBUG\n"
                           "log4cplus.logger.ZEM_APP=DEBUG\r\n"
                           "log4cplus.logger.ZEM_APP.extra=1\n"
                           "last=line"));

  EXPECT_TRUE(Utils::replaceLineInPropertiesFile(file.getPath(), "log4cplus\\.logger\\.ZEM_APP=.*",
                                                 "log4cplus.logger.ZEM_APP=TRACE"));
  EXPECT_EQ(zem_test::readFile(file),
            "log4cplus.rootLogger=INFO, A\n"
            "# log4cplus.logger.ZEM_APP=DEBUG\n"
            "log4cplus.logger.ZEM_APP=TRACE\r\n"
            "log4cplus.logger.ZEM_APP.extra=1\n"
            "last=line");
  // Refusals leave the file as it was: no match, a bad pattern, a partial match, no file.
  const std::string before = zem_test::readFile(file);
  EXPECT_FALSE(Utils::replaceLineInPropertiesFile(file.getPath(), "c=.*", "c=3"));
  EXPECT_FALSE(Utils::replaceLineInPropertiesFile(file.getPath(), "a=(", "a=3"));
  EXPECT_FALSE(Utils::replaceLineInPropertiesFile(file.getPath(), "=TRACE", "x"));
  EXPECT_EQ(zem_test::readFile(file), before);
  EXPECT_FALSE(Utils::replaceLineInPropertiesFile(File(tmp.getFile(), "missing").getPath(), ".*", "x"));
}
