// zem-host with the real application plug-in: self-diagnosis over zemctl and busctl, robustness
// against bad calls and bad settings files, and clean termination.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ZemHostFixture.h"

namespace {

using ZemHostTest = ZemHostFixture;

void writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST_F(ZemHostTest, ServesPingVersionAndLogLevelToZemctlAndBusctl) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  CommandResult r = zemctl({"ping"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "status 2\n");
  r = busctlCall("com.olvane.Zem", "Ping", {"a{sv}", "0"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "a{sv} 1 \"status\" x 2\n");

  r = zemctl({"version"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "19.22.3\n");
  r = busctlCall("com.olvane.SelfDiag", "GetSwVersion", {"a{sv}", "0"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"major\" x 19"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"minor\" x 22"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"patch\" x 3"), std::string::npos) << r.out;

  // No level is stored on a fresh device.
  r = zemctl({"log-level", "get"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "level 255 (not set)\n");

  r = zemctl({"log-level", "set", "4"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "result 0\n");
  r = zemctl({"log-level"});
  EXPECT_EQ(r.out, "level 4 (INFO)\n");
  EXPECT_NE(readFile(settingsFile()).find(">INFO<"), std::string::npos) << readFile(settingsFile());

  // A level outside the table is refused and changes nothing.
  r = zemctl({"log-level", "set", "6"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.out, "result 1\n");
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 4 (INFO)\n");
  EXPECT_NE(readFile(settingsFile()).find(">INFO<"), std::string::npos);

  // The same over busctl, with the a{sv} convention.
  r = busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "1", "level", "x", "2"});
  EXPECT_EQ(r.out, "a{sv} 1 \"result\" x 0\n") << r.err;
  r = busctlCall("com.olvane.SelfDiag", "GetComponentLogLevel", {"a{sv}", "0"});
  EXPECT_EQ(r.out, "a{sv} 1 \"level\" x 2\n") << r.err;
  EXPECT_NE(readFile(settingsFile()).find(">WARNING<"), std::string::npos);

  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

TEST_F(ZemHostTest, WrongOrMissingParametersAreAnsweredAndNeverCrashTheDaemon) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  // The level as a string, or no level at all: "result" 1.
  CommandResult r = busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "1", "level", "s", "4"});
  EXPECT_EQ(r.out, "a{sv} 1 \"result\" x 1\n") << r.err;
  r = busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "0"});
  EXPECT_EQ(r.out, "a{sv} 1 \"result\" x 1\n") << r.err;
  r = busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "1", "level", "ay", "1", "4"});
  EXPECT_EQ(r.out, "a{sv} 1 \"result\" x 1\n") << r.err;
  r = zemctl({"call", "SelfDiag", "SetComponentLogLevel", "level=s:4"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "result 1\n");

  // A parameter of a type outside the contract is a wrong type too.
  r = busctlCall("com.olvane.SelfDiag", "SetComponentLogLevel", {"a{sv}", "1", "level", "d", "4.5"});
  EXPECT_EQ(r.out, "a{sv} 1 \"result\" x 1\n") << r.err;
  // A wrong signature and an unknown method are D-Bus errors.
  r = busctlCall("com.olvane.Zem", "Ping", {"s", "hello"});
  EXPECT_NE(r.exitCode, 0) << r.out;
  r = busctlCall("com.olvane.Zem", "NoSuchMethod", {"a{sv}", "0"});
  EXPECT_NE(r.exitCode, 0) << r.out;
  r = zemctl({"call", "Zem", "NoSuchMethod"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("NoSuchMethod failed"), std::string::npos) << r.err;

  // Still alive, still answering, nothing stored by the refused calls.
  ASSERT_TRUE(host()->running());
  EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 255 (not set)\n");
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

TEST_F(ZemHostTest, MalformedSettingsFileFallsBackToDefaultsAndIsRewritten) {
  writeFile(settingsFile(), "<config><content this is not a settings document");
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 255 (not set)\n");
  const std::string rewritten = readFile(settingsFile());
  EXPECT_NE(rewritten.find("maximumDataSize>102400<"), std::string::npos) << rewritten;
  EXPECT_NE(rewritten.find("replayHistorySize>10<"), std::string::npos) << rewritten;

  EXPECT_EQ(zemctl({"log-level", "set", "3"}).out, "result 0\n");
  EXPECT_NE(readFile(settingsFile()).find(">DEBUG<"), std::string::npos);
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

TEST_F(ZemHostTest, UnwritableSettingsFileAnswersResultOneButAppliesTheLevel) {
  // A folder where the file should be: no write can replace it, whoever runs the test.
  writeFile(settingsFile() + "/keep", "x");
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  const CommandResult r = zemctl({"log-level", "set", "4"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.out, "result 1\n");
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 4 (INFO)\n");
  EXPECT_TRUE(std::filesystem::is_directory(settingsFile()));
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

TEST_F(ZemHostTest, SigtermAndSigintExitZeroWithinTwoSecondsAndTheLevelSurvivesARestart) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  ASSERT_EQ(zemctl({"log-level", "set", "5"}).out, "result 0\n");

  auto started = std::chrono::steady_clock::now();
  std::optional<int> status = stopHost(SIGTERM, std::chrono::seconds(2));
  EXPECT_TRUE(exitedWith(status, 0)) << "SIGTERM: " << (status ? *status : -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  // The name went with the process.
  EXPECT_EQ(zemctl({"ping"}).exitCode, 2);

  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  EXPECT_EQ(zemctl({"log-level", "get"}).out, "level 5 (TRACE)\n");
  started = std::chrono::steady_clock::now();
  status = stopHost(SIGINT, std::chrono::seconds(2));
  EXPECT_TRUE(exitedWith(status, 0)) << "SIGINT: " << (status ? *status : -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(ZemHostTest, SecondHostFindsTheNameTakenAndExitsOneLeavingTheFirstServing) {
  startHost();
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  const CommandResult second = runCommand({ZEM_HOST_BIN}, {{"ZEM_SYSROOT", sysroot()}}, workFolder());
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("com.olvane.ZEM_APP"), std::string::npos) << second.err;
  EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0));
}

}  // namespace
