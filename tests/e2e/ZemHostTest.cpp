// zem-host with the real application plug-in, driven with zemctl: calls and their failures, one
// host per bus name, clean termination on SIGTERM and SIGINT, the log level kept across a restart.
#include <signal.h>

#include "ZemHostFixture.h"

namespace {

using ZemHostTest = ZemHostFixture;

TEST_F(ZemHostTest, SignalsEndTheHostWithinTwoSecondsAndTheLevelSurvivesARestart) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  EXPECT_EQ(zemctl({"version"}).out, "19.22.3\n");
  ASSERT_EQ(zemctl({"call", "SelfDiag", "SetComponentLogLevel", "level=x:5"}).out, "result 0\n");
  const CommandResult unknown = zemctl({"call", "Zem", "NoSuchMethod", "text=s:x", "raw=ay:y"});
  EXPECT_EQ(unknown.exitCode, 3);
  EXPECT_NE(unknown.err.find("NoSuchMethod failed"), std::string::npos) << unknown.err;
  // A second host finds the name taken and leaves the first one serving.
  const CommandResult second = runCommand({ZEM_HOST_BIN}, {{"ZEM_SYSROOT", sysroot()}}, workFolder());
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("com.olvane.ZEM_APP"), std::string::npos) << second.err;
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM, std::chrono::seconds(2)), 0)) << readFile(hostStderr());

  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 5 (TRACE)\n");
  EXPECT_TRUE(exitedWith(stopHost(SIGINT, std::chrono::seconds(2)), 0)) << readFile(hostStderr());
}

}  // namespace
