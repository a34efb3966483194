// zemctl against no service, without a bus, and watching a fake component served in this process.
#include <signal.h>

#include "ZemHostFixture.h"
#include "kest/ipc/DBusIpcService.h"

namespace {

using ZemctlTest = ZemHostFixture;

TEST_F(ZemctlTest, ExitCodesTellUsageErrorsAbsentServiceAndAbsentBusApart) {
  CommandResult r = zemctl({"log-level", "set", "4"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("com.olvane.ZEM_APP is not running on the session bus"), std::string::npos) << r.err;
  r = zemctl({"ping"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + workFolder() + "/no-bus-here"}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot connect to the session bus"), std::string::npos) << r.err;
  r = zemctl({"log-level", "set", "four"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("zemctl: "), std::string::npos);
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
