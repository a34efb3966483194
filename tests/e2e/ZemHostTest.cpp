// zem-host as a process, with the real application plug-in or the test plug-in (its initialise()
// fails, waits or its shutdown() hangs, as files in the sysroot say), on the session or a private bus;
// zemctl watching a fake component served in this process.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <tuple>

#include "ZemHostFixture.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kest/ipc/DBusIpcService.h"

namespace {

using ZemHostTest = ZemHostFixture;
using ZemctlTest = ZemHostFixture;

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

// The resident size of process `pid` in KiB (VmRSS), -1 when it cannot be read.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Twelve callers at once name a property with 30 MB: each is refused before the name is copied, and
// the daemon gives the memory back. Then the test kills the host's own bus: a supervisor must see the
// host exit, not deaf.
TEST_F(ZemHostTest, HugeArgumentsLeaveNoMemoryPinnedAndALostBusEndsTheHostWithStatusThree) {
  startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
#ifndef __SANITIZE_ADDRESS__
  // Under AddressSanitizer the daemon runs on its allocator, which keeps freed memory in quarantine
  // and ignores the trimming under test; the refusal itself is tested in-process by the IPC tests.
  const std::string huge(30 * 1024 * 1024, 'p');
  std::vector<std::future<std::string>> calls;
  calls.reserve(12);
  for (int i = 0; i < 12; ++i)
    calls.push_back(std::async(std::launch::async, [&] {
      Ipc::IpcParameterSet in;
      in.add(std::make_unique<Ipc::IpcStringParameter>("property", huge));
      try {
        Ipc::DBusIpcClient().call("ZEM_APP", "SelfDiag", "ReadStringProperty", in, std::chrono::seconds(20));
        return std::string("answered");
      } catch (const Ipc::IpcException& e) {
        return std::string(e.what());
      }
    }));
  for (auto& call : calls) {
    const std::string outcome = call.get();
    EXPECT_NE(outcome.find("The string property is too large: 31457280 bytes, at most 1024"), std::string::npos)
        << outcome;
  }
  EXPECT_TRUE(waitUntil([&] { return residentKiB(host()->pid()) < 32 * 1024; }, std::chrono::seconds(5)))
      << residentKiB(host()->pid()) << " KiB";
  EXPECT_TRUE(waitForPing(2));  // and it serves on
#endif
  privateBus()->sendSignal(SIGKILL);
  EXPECT_TRUE(exitedWith(host()->waitForExit(std::chrono::seconds(2)), 3)) << readFile(hostStderr());
  EXPECT_NE(readFile(hostStderr()).find("Lost the D-Bus connection"), std::string::npos);
}

TEST_F(ZemHostTest, StartUpFailuresExitWithTheirStatusAndTheReason) {
  std::ofstream(sysroot() + "/fail-initialise") << "fail";
  startHost({"--plugin", ZEM_TEST_PLUGIN});
  ASSERT_TRUE(exitedWith(host()->waitForExit(std::chrono::seconds(20)), 1)) << readFile(hostStderr());
  const std::string console = readFile(hostStderr());
  EXPECT_NE(console.find("FATAL"), std::string::npos) << console;
  EXPECT_NE(console.find("initialise refused: test plug-in failure"), std::string::npos) << console;
  EXPECT_NE(readFile(sysroot() + "/cache/var/log/messages").find("initialise refused"), std::string::npos);

  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--plugin=" + sysroot() + "/no-such-plugin.so", 1, "cannot load plug-in"},
      {std::string("--plugin=") + ZEM_KEST_LIB, 1, "does not export zemGetApplication"},
      {"--no-such-option", 2, "unknown argument: --no-such-option"}};
  for (const auto& [arg, code, text] : cases) {
    const CommandResult r = runCommand({ZEM_HOST_BIN, arg}, {{"ZEM_SYSROOT", sysroot()}}, workFolder());
    EXPECT_EQ(r.exitCode, code) << arg;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }
}

TEST_F(ZemHostTest, PingAnswersOneWhileInitialiseRunsAndASignalMeanwhileIsHonouredAfterIt) {
  startHost({"--plugin", ZEM_TEST_PLUGIN});
  ASSERT_TRUE(waitForPing(1)) << readFile(hostStderr());
  ASSERT_TRUE(host()->sendSignal(SIGTERM));
  EXPECT_EQ(zemctl({"ping"}).out, "status 1\n");
  EXPECT_TRUE(host()->running());
  std::ofstream(sysroot() + "/release-initialise") << "go";
  EXPECT_TRUE(exitedWith(host()->waitForExit(std::chrono::seconds(5)), 0)) << readFile(hostStderr());
}

TEST_F(ZemHostTest, HangingShutdownIsCutShortByTheWatchdog) {
  std::ofstream(sysroot() + "/release-initialise") << "go";
  std::ofstream(sysroot() + "/hang-shutdown") << "hang";
  startHost({"--plugin", ZEM_TEST_PLUGIN, "--shutdown-timeout", "300"});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM, std::chrono::seconds(5)), 4)) << readFile(hostStderr());
  const std::string console = readFile(hostStderr());
  EXPECT_NE(console.find("Shutdown did not finish within 300 ms; exiting"), std::string::npos) << console;
}

// A private bus of the system kind whose policy is the system bus's default plus com.olvane.conf:
// root serves and answers there; any other user may read and ping but is refused the methods that
// change state, the host's name itself and the names zemctl calls as a component under.
TEST_F(ZemHostTest, SystemBusServesUnderTheShippedPolicy) {
  if (geteuid() != 0) GTEST_SKIP() << "the policy lets only root own com.olvane.* names";
  const std::string socket = workFolder() + "/system_bus_socket";
  const std::string config = workFolder() + "/system-bus.conf";
  std::ofstream(config)
      << "<busconfig><type>system</type><listen>unix:path=" << socket << "</listen>"
      << "<policy context='default'><allow user='*'/><deny own='*'/><deny send_type='method_call'/>"
      << "<allow send_destination='org.freedesktop.DBus'/><allow receive_sender='*'/>"
      << "<allow send_type='method_return'/><allow send_type='error'/><allow send_type='signal'/></policy><include>"
      << ZEM_POLICY_FILE << "</include></busconfig>";
  ChildProcess bus({"dbus-daemon", "--config-file=" + config, "--nofork"}, {}, workFolder() + "/bus.out",
                   workFolder() + "/bus.err");
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socket) || !bus.running(); }, std::chrono::seconds(10)));
  for (const std::string& folder : {workFolder(), std::filesystem::path(workFolder()).parent_path().string()})
    std::filesystem::permissions(folder, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  const std::map<std::string, std::string> environment{{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket},
                                                       {"ZEM_SYSROOT", sysroot()}};
  const auto asNobody = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return runCommand(argv, environment, workFolder());
  };
  startHost({"--system"}, {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr()) << readFile(workFolder() + "/bus.err");
  EXPECT_EQ(asNobody({ZEMCTL_BIN, "--system", "ping"}).exitCode, 0);
  EXPECT_EQ(asNobody({ZEMCTL_BIN, "--system", "log-level", "get"}).exitCode, 0);
  for (const CommandResult& denied :
       {asNobody({ZEMCTL_BIN, "--system", "log-level", "set", "4"}),
        asNobody({ZEMCTL_BIN, "--system", "call", "Zem", "JobAppeared", "jobLocation=s:x.zip"})}) {
    EXPECT_EQ(denied.exitCode, 3) << denied.out << denied.err;
    EXPECT_NE(denied.err.find("AccessDenied"), std::string::npos) << denied.err;
  }
  // zemctl may call as a component only as root: nobody else may own the component's name.
  const std::vector<std::string> asHmi{ZEMCTL_BIN, "--system", "--as-component", "HMI", "read", "Unit.Code"};
  const CommandResult notRoot = asNobody(asHmi);
  EXPECT_EQ(notRoot.exitCode, 3) << notRoot.err;
  EXPECT_NE(notRoot.err.find("as com.olvane.HMI"), std::string::npos) << notRoot.err;
  EXPECT_EQ(runCommand(asHmi, environment, workFolder()).out, "007\n");
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM, std::chrono::seconds(2)), 0)) << readFile(hostStderr());

  // Any other user reaches the bus but is refused the name, even while nobody owns it.
  const CommandResult refused = asNobody({ZEM_HOST_BIN, "--system"});
  EXPECT_EQ(refused.exitCode, 1) << refused.err;
  EXPECT_NE(refused.err.find("Cannot own the D-Bus name com.olvane.ZEM_APP"), std::string::npos) << refused.err;
}

// One line per signal of the watched component only, values quoted and escaped; "--count" ends the
// watch, SIGINT too.
TEST_F(ZemctlTest, WatchPrintsEachSignalOfTheComponentOnOneLineAndStopsOnSigint) {
  Ipc::DBusIpcService fake("com.olvane.ZEMCTL_TEST");
  fake.start();
  ChildProcess counted({ZEMCTL_BIN, "--component", "ZEMCTL_TEST", "watch", "--count", "2"}, {},
                       workFolder() + "/watch.out", workFolder() + "/watch.err");
  ChildProcess endless({ZEMCTL_BIN, "watch"}, {}, workFolder() + "/endless.out", workFolder() + "/endless.err");
  auto watching = [&](const std::string& err) {
    return readFile(workFolder() + err).find("watching") != std::string::npos;
  };
  ASSERT_TRUE(waitUntil([&] { return watching("/watch.err") && watching("/endless.err"); }, std::chrono::seconds(10)));
  Ipc::IpcParameterSet changed;
  changed.add(std::make_unique<Ipc::IpcStringParameter>("value", "say \"hi\"\\\t\n"));
  fake.sendSignal(Ipc::ZemMessageDefinition("PropertyValueChanged", {}), changed);
  Ipc::IpcParameterSet status;
  status.add(std::make_unique<Ipc::IpcIntegerParameter>("status", -3));
  status.add(std::make_unique<Ipc::IpcByteFieldParameter>("raw", std::string("a\0b\x7f", 4)));
  fake.sendSignal(Ipc::ZemSelfDiagMessageDefinition("TaskStatus", {}), status);
  status.add(std::make_unique<Ipc::IpcUnsupportedParameter>("x", "i"));
  EXPECT_THROW(fake.sendSignal(Ipc::ZemMessageDefinition("Bad", {}), status), Ipc::IpcException);
  ASSERT_TRUE(exitedWith(counted.waitForExit(std::chrono::seconds(10)), 0)) << readFile(workFolder() + "/watch.err");
  EXPECT_EQ(readFile(workFolder() + "/watch.out"),
            "PropertyValueChanged value=\"say \\\"hi\\\"\\\\\\t\\n\"\n"
            "TaskStatus raw=ay\"a\\x00b\\x7f\" status=-3\n");
  ASSERT_TRUE(endless.sendSignal(SIGINT));
  EXPECT_TRUE(exitedWith(endless.waitForExit(std::chrono::seconds(5)), 0));
  EXPECT_EQ(readFile(workFolder() + "/endless.out"), "");  // it watched another component
}

}  // namespace
