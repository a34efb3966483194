// zem-host with the real application plug-in: the D-Bus contract as busctl and zemctl see it,
// refusal of bad calls without harm, persistence of the log level and clean termination.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "ZemHostFixture.h"

namespace {

using ZemHostTest = ZemHostFixture;

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST_F(ZemHostTest, ServesTheBusContractAndRefusesBadCallsWithoutHarm) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  EXPECT_EQ(busctlCall("com.olvane.Zem", "Ping", {"a{sv}", "0"}).out, "a{sv} 1 \"status\" x 2\n");
  EXPECT_EQ(zemctl({"version"}).out, "19.22.3\n");
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 255 (not set)\n");
  const CommandResult set = zemctl({"log-level", "set", "4"});
  EXPECT_EQ(set.exitCode, 0) << set.err;
  EXPECT_NE(readFile(settingsFile()).find(">INFO<"), std::string::npos) << readFile(settingsFile());
  EXPECT_EQ(busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "1", "level", "x", "2"}).out,
            "a{sv} 1 \"result\" x 0\n");
  EXPECT_EQ(busctlCall("com.olvane.SelfDiag", "GetComponentLogLevel", {"a{sv}", "0"}).out, "a{sv} 1 \"level\" x 2\n");

  // Wrong types (one outside the contract too), a missing level, a level outside the table:
  // "result" 1 and nothing stored. A wrong signature and an unknown method are D-Bus errors.
  for (const std::vector<std::string>& request :
       std::vector<std::vector<std::string>>{{"a{sv}", "1", "level", "s", "4"},
                                             {"a{sv}", "1", "level", "d", "4.5"},
                                             {"a{sv}", "0"},
                                             {"a{sv}", "1", "level", "x", "6"}}) {
    EXPECT_EQ(busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", request).out, "a{sv} 1 \"result\" x 1\n")
        << request[3];
  }
  EXPECT_NE(busctlCall("com.olvane.Zem", "Ping", {"s", "hello"}).exitCode, 0);
  const CommandResult unknown = zemctl({"call", "Zem", "NoSuchMethod"});
  EXPECT_EQ(unknown.exitCode, 3);
  EXPECT_NE(unknown.err.find("NoSuchMethod failed"), std::string::npos) << unknown.err;
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 2 (WARNING)\n");
  EXPECT_NE(readFile(settingsFile()).find(">WARNING<"), std::string::npos);
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

TEST_F(ZemHostTest, SigtermAndSigintExitZeroWithinTwoSecondsAndTheLevelSurvivesARestart) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  ASSERT_EQ(zemctl({"log-level", "set", "5"}).out, "result 0\n");
  // A second host finds the name taken and leaves the first one serving.
  const CommandResult second = runCommand({ZEM_HOST_BIN}, {{"ZEM_SYSROOT", sysroot()}}, workFolder());
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("com.olvane.ZEM_APP"), std::string::npos) << second.err;
  for (const int signal : {SIGTERM, SIGINT}) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(exitedWith(stopHost(signal, std::chrono::seconds(2)), 0)) << signal;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(zemctl({"ping"}).exitCode, 2);  // the name went with the process
    if (signal == SIGINT) break;
    startHost();
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
    EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 5 (TRACE)\n");
  }
}

}  // namespace
