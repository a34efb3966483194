// zemctl against no service, without a bus, and against a fake component served in this process:
// exit codes, parameter encoding of "call", servlet failures, and "watch".
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <stdexcept>

#include "ZemHostFixture.h"
#include "kest/ipc/DBusIpcService.h"

namespace {

using ZemctlTest = ZemHostFixture;

// "Echo" answers every "in" parameter unchanged plus "types" (name:type of what arrived); any other
// member throws.
class EchoServlet : public Ipc::IpcMethodServlet {
 public:
  explicit EchoServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    if (definition.getName() != "Echo") throw std::runtime_error("servlet gave up");
    std::string types;
    for (const auto& [name, parameter] : request.getParameters().all()) {
      types += name + ":" + std::to_string(static_cast<int>(parameter->getType())) + ",";
      response.addParameter(parameter->clone());
    }
    response.addParameter(std::make_unique<Ipc::IpcStringParameter>("types", types));
  }
};

bool exitedZero(const std::optional<int>& status) { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0; }

TEST_F(ZemctlTest, ExitCodesTellUsageErrorsAbsentServiceAndAbsentBusApart) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"ping"}, {"version"}, {"log-level", "get"}, {"log-level", "set", "4"}, {"call", "Zem", "Ping"}}) {
    const CommandResult r = zemctl(args);
    EXPECT_EQ(r.exitCode, 2) << args[0];
    EXPECT_NE(r.err.find("com.olvane.ZEM_APP is not running on the session bus"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  CommandResult r = zemctl({"ping"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + workFolder() + "/no-bus-here"}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot connect to the session bus"), std::string::npos) << r.err;
  r = zemctl({"log-level", "set", "four"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("zemctl: "), std::string::npos);
  r = zemctl({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("log-level set N"), std::string::npos);
}

TEST_F(ZemctlTest, CallSendsEachParameterTypeAndReportsServletFailures) {
  Ipc::DBusIpcService fake("com.olvane.ZEMCTL_TEST");
  const Ipc::ZemMessageDefinition echo("Echo", {});
  const Ipc::ZemSelfDiagMessageDefinition fail("Fail", {});
  fake.registerServlet(echo, std::make_unique<EchoServlet>(echo));
  fake.registerServlet(fail, std::make_unique<EchoServlet>(fail));
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
}

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
  changed.add(std::make_unique<Ipc::IpcStringParameter>("property", "Vehicle.DemoMode"));
  changed.add(std::make_unique<Ipc::IpcStringParameter>("value", "say \"hi\"\n"));
  fake.sendSignal(Ipc::ZemMessageDefinition("PropertyValueChanged", {}), changed);
  Ipc::IpcParameterSet status;
  status.add(std::make_unique<Ipc::IpcStringParameter>("taskId", "t-1"));
  status.add(std::make_unique<Ipc::IpcIntegerParameter>("status", 3));
  status.add(std::make_unique<Ipc::IpcByteFieldParameter>("raw", std::string("a\0b", 3)));
  fake.sendSignal(Ipc::ZemMessageDefinition("TaskStatus", {}), status);
  ASSERT_TRUE(exitedZero(counted.waitForExit(std::chrono::seconds(10)))) << readFile(workFolder() + "/watch.err");
  EXPECT_EQ(readFile(workFolder() + "/watch.out"),
            "PropertyValueChanged property=\"Vehicle.DemoMode\" value=\"say \\\"hi\\\"\\n\"\n"
            "TaskStatus raw=ay\"a\\x00b\" status=3 taskId=\"t-1\"\n");
  ASSERT_TRUE(endless.sendSignal(SIGINT));
  EXPECT_TRUE(exitedZero(endless.waitForExit(std::chrono::seconds(5))));
}

}  // namespace
