// zemctl against no service, without a bus, with bad arguments, and against a fake component
// served in this process: parameter encoding of "call", failures, and "watch".
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ZemHostFixture.h"
#include "kest/ipc/DBusIpcService.h"

namespace {

using ZemctlTest = ZemHostFixture;

// Answers with every "in" parameter unchanged plus "types": name:type pairs of what arrived.
class EchoServlet : public Ipc::IpcMethodServlet {
 public:
  explicit EchoServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    std::string types;
    for (const auto& [name, parameter] : request.getParameters().all()) {
      types += name + ":" + std::to_string(static_cast<int>(parameter->getType())) + ",";
      response.addParameter(parameter->clone());
    }
    response.addParameter(std::make_unique<Ipc::IpcStringParameter>("types", types));
  }
};

class FailingServlet : public Ipc::IpcMethodServlet {
 public:
  explicit FailingServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                         Ipc::IpcMethodCallResponse&) override {
    throw std::runtime_error("servlet gave up");
  }
};

TEST_F(ZemctlTest, WithoutTheServiceEveryCommandExitsTwoNamingIt) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"ping"}, {"version"}, {"log-level", "get"}, {"log-level", "set", "4"}, {"call", "Zem", "Ping"}}) {
    const CommandResult r = zemctl(args);
    EXPECT_EQ(r.exitCode, 2) << args[0];
    EXPECT_NE(r.err.find("com.olvane.ZEM_APP is not running on the session bus"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(ZemctlTest, WithoutABusExitsTwo) {
  const CommandResult r =
      zemctl({"ping"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + workFolder() + "/no-bus-here"}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot connect to the session bus"), std::string::npos) << r.err;
}

TEST_F(ZemctlTest, UsageErrorsExitOneAndHelpExitsZero) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"--bogus", "ping"},
           {"ping", "extra"},
           {"log-level", "set", "four"},
           {"log-level", "set"},
           {"call", "Zem"},
           {"call", "Zem", "Ping", "level=q:1"},
           {"call", "Zem", "Ping", "level=x:4x"},
           {"call", "Zem", "Ping", "request=ayfile:" + workFolder() + "/missing.xml"},
           {"--timeout", "soon", "ping"},
           {"watch", "--count", "0"}}) {
    const CommandResult r = zemctl(args);
    EXPECT_EQ(r.exitCode, 1) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(r.err.find("zemctl: "), std::string::npos);
  }
  const CommandResult help = zemctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("log-level set N"), std::string::npos);
}

TEST_F(ZemctlTest, CallSendsEachParameterTypeAndReportsServletFailures) {
  Ipc::DBusIpcService fake("com.olvane.ZEMCTL_TEST");
  const Ipc::ZemMessageDefinition echo("Echo", {});
  const Ipc::ZemSelfDiagMessageDefinition fail("Fail", {});
  fake.registerServlet(echo, std::make_unique<EchoServlet>(echo));
  fake.registerServlet(fail, std::make_unique<FailingServlet>(fail));
  fake.start();

  const std::string payload = workFolder() + "/payload.xml";
  std::ofstream(payload) << "<a>1</a>";
  CommandResult r = zemctl({"--component", "ZEMCTL_TEST", "call", "Zem", "Echo", "name=s:hello world", "n=x:-42",
                            "b=ay:raw", "f=ayfile:" + payload});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "b raw\nf <a>1</a>\nn -42\nname hello world\ntypes b:2,f:2,n:1,name:0,\n");
  // The full interface name works as well as the short one.
  r = zemctl({"--component", "com.olvane.ZEMCTL_TEST", "call", "com.olvane.Zem", "Echo", "k=s:v"});
  EXPECT_EQ(r.out, "k v\ntypes k:0,\n") << r.err;

  r = zemctl({"--component", "ZEMCTL_TEST", "call", "SelfDiag", "Fail"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("Fail failed"), std::string::npos) << r.err;
  fake.stop();
}

TEST_F(ZemctlTest, WatchPrintsEachSignalOfTheComponentOnOneLine) {
  Ipc::DBusIpcService fake("com.olvane.ZEMCTL_TEST");
  fake.start();
  ChildProcess watcher({ZEMCTL_BIN, "--component", "ZEMCTL_TEST", "watch", "--count", "2"}, {},
                       workFolder() + "/watch.out", workFolder() + "/watch.err");
  ASSERT_TRUE(waitUntil(
      [&] { return readFile(workFolder() + "/watch.err").find("watching") != std::string::npos || !watcher.running(); },
      std::chrono::seconds(10)));
  ASSERT_TRUE(watcher.running()) << readFile(workFolder() + "/watch.err");

  Ipc::IpcParameterSet changed;
  changed.add(std::make_unique<Ipc::IpcStringParameter>("property", "Vehicle.DemoMode"));
  changed.add(std::make_unique<Ipc::IpcStringParameter>("value", "say \"hi\"\n"));
  fake.sendSignal(Ipc::ZemMessageDefinition("PropertyValueChanged", {}), changed);
  Ipc::IpcParameterSet status;
  status.add(std::make_unique<Ipc::IpcStringParameter>("taskId", "t-1"));
  status.add(std::make_unique<Ipc::IpcIntegerParameter>("status", 3));
  status.add(std::make_unique<Ipc::IpcByteFieldParameter>("raw", std::string("a\0b", 3)));
  fake.sendSignal(Ipc::ZemMessageDefinition("TaskStatus", {}), status);

  const std::optional<int> exit = watcher.waitForExit(std::chrono::seconds(10));
  ASSERT_TRUE(exit && WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0) << readFile(workFolder() + "/watch.err");
  EXPECT_EQ(readFile(workFolder() + "/watch.out"),
            "PropertyValueChanged property=\"Vehicle.DemoMode\" value=\"say \\\"hi\\\"\\n\"\n"
            "TaskStatus raw=ay\"a\\x00b\" status=3 taskId=\"t-1\"\n");
  fake.stop();
}

TEST_F(ZemctlTest, WatchStopsOnSigint) {
  ChildProcess watcher({ZEMCTL_BIN, "watch"}, {}, workFolder() + "/watch.out", workFolder() + "/watch.err");
  ASSERT_TRUE(waitUntil(
      [&] { return readFile(workFolder() + "/watch.err").find("watching") != std::string::npos || !watcher.running(); },
      std::chrono::seconds(10)));
  ASSERT_TRUE(watcher.sendSignal(SIGINT));
  const std::optional<int> exit = watcher.waitForExit(std::chrono::seconds(5));
  EXPECT_TRUE(exit && WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0);
}

}  // namespace
