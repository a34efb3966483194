// zem-host as a process with the real plug-in or the test plug-in (steered by files in the sysroot),
// on the session, a private or a system-kind bus; zemctl watching a fake component; and zem-host under
// a stand-in service manager (a datagram socket of the test's own as NOTIFY_SOCKET).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
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
  EXPECT_NE(readFile(hostStderr()).find("initialise refused: test plug-in failure"), std::string::npos);
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

// A SIGTERM while initialise() runs waits for it (ping answers 1 meanwhile), then starts the
// shutdown, whose hang the shutdown watchdog cuts short.
TEST_F(ZemHostTest, ASignalDuringInitialiseIsHonouredAfterItAndAHangingShutdownIsCutShort) {
  std::ofstream(sysroot() + "/hang-shutdown") << "hang";
  startHost({"--plugin", ZEM_TEST_PLUGIN, "--shutdown-timeout", "300"});
  ASSERT_TRUE(waitForPing(1)) << readFile(hostStderr());
  ASSERT_TRUE(host()->sendSignal(SIGTERM));
  EXPECT_EQ(zemctl({"ping"}).out, "status 1\n");
  EXPECT_TRUE(host()->running());
  std::ofstream(sysroot() + "/release-initialise") << "go";
  EXPECT_TRUE(exitedWith(host()->waitForExit(std::chrono::seconds(5)), 4)) << readFile(hostStderr());
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

using Clock = std::chrono::steady_clock;
using ServiceManagerTest = ZemHostFixture;

// Receives the notifications sent to `path` on a thread of its own, each with when it arrived.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)), fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      throw std::runtime_error("cannot bind " + path_ + ": " + std::strerror(errno));
    reader_ = std::thread([this] { read(); });
  }
  ~NotifySocket() {
    stop_ = true;
    reader_.join();
    close(fd_);
  }
  const std::string& path() const { return path_; }
  // When each message holding the line `line` arrived, in order.
  std::vector<Clock::time_point> arrivals(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Clock::time_point> times;
    for (const auto& [time, text] : messages_)
      if (("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos) times.push_back(time);
    return times;
  }
  std::string first() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return messages_.empty() ? "" : messages_.front().second;
  }

 private:
  void read() {
    char buffer[4096];
    while (!stop_) {
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, 20) <= 0) continue;
      const ssize_t size = recv(fd_, buffer, sizeof(buffer), 0);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (size >= 0) messages_.emplace_back(Clock::now(), std::string(buffer, static_cast<size_t>(size)));
    }
  }

  const std::string path_;
  const int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, std::string>> messages_;  // guarded by mutex_
  std::thread reader_;
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Keep-alives every quarter of the 2 s period while the daemon makes progress (two are never more
// than a second apart), none while a thread that serves calls is held, one WARN per stall naming
// it; READY=1 only once initialise() has returned, STOPPING=1 at SIGTERM.
TEST_F(ServiceManagerTest, KeepAlivesFlowOnlyWhileTheDaemonMakesProgressBetweenReadyAndStopping) {
  NotifySocket manager(workFolder() + "/notify");
  startHost({"--plugin", ZEM_TEST_PLUGIN}, {{"NOTIFY_SOCKET", manager.path()}, {"WATCHDOG_USEC", "2000000"}});
  ASSERT_TRUE(waitForPing(1)) << readFile(hostStderr());
  ASSERT_TRUE(waitUntil([&] { return manager.arrivals("WATCHDOG=1").size() >= 2; })) << readFile(hostStderr());
  EXPECT_EQ(manager.first(), "STATUS=starting");
  EXPECT_TRUE(manager.arrivals("READY=1").empty());
  std::ofstream(sysroot() + "/release-initialise") << "go";
  ASSERT_TRUE(waitUntil([&] { return manager.arrivals("READY=1").size() == 1; })) << readFile(hostStderr());
  EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");

  const size_t before = manager.arrivals("WATCHDOG=1").size();
  ASSERT_TRUE(waitUntil([&] { return manager.arrivals("WATCHDOG=1").size() >= before + 6; }));
  const std::vector<Clock::time_point> beats = manager.arrivals("WATCHDOG=1");
  for (size_t i = 1; i < beats.size(); ++i) EXPECT_LE(beats[i] - beats[i - 1], std::chrono::milliseconds(1000)) << i;

  const std::vector<std::tuple<std::string, std::vector<std::string>, int, std::string>> stalls = {
      {"stall-ping", {"ping"}, 1, "the D-Bus thread made no progress"},
      {"stall-dispatch", {"call", "Zem", "Stall"}, 4, "the IPC dispatch threads made no progress"}};
  size_t warnings = 0;
  for (const auto& [file, call, calls, warning] : stalls) {
    std::ofstream(sysroot() + "/" + file) << "stall";
    std::vector<std::unique_ptr<ChildProcess>> callers;
    for (int i = 0; i < calls; ++i) {
      std::vector<std::string> argv{ZEMCTL_BIN, "--timeout", "60000"};
      argv.insert(argv.end(), call.begin(), call.end());
      const std::string stem = workFolder() + "/" + file + std::to_string(i);
      callers.push_back(
          std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, stem + ".out", stem + ".err"));
    }
    // The keep-alives stop for longer than three intervals.
    EXPECT_TRUE(
        waitUntil([&] { return Clock::now() - manager.arrivals("WATCHDOG=1").back() > std::chrono::seconds(2); },
                  std::chrono::seconds(15)))
        << file;
    const std::string console = readFile(hostStderr());
    EXPECT_NE(console.find("Withholding the watchdog keep-alive: " + warning), std::string::npos) << console;
    EXPECT_EQ(count(console, "Withholding the watchdog keep-alive"), ++warnings) << console;
    std::filesystem::remove(sysroot() + "/" + file);
    const size_t stalled = manager.arrivals("WATCHDOG=1").size();
    EXPECT_TRUE(waitUntil([&] { return manager.arrivals("WATCHDOG=1").size() > stalled; })) << file;
    for (auto& caller : callers) EXPECT_TRUE(exitedWith(caller->waitForExit(std::chrono::seconds(10)), 0)) << file;
  }

  EXPECT_TRUE(manager.arrivals("STOPPING=1").empty());
  EXPECT_TRUE(exitedWith(stopHost(SIGTERM), 0)) << readFile(hostStderr());
  EXPECT_TRUE(waitUntil([&] { return manager.arrivals("STOPPING=1").size() == 1; }));
}

}  // namespace
