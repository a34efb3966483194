// zem-host under a stand-in service manager: a datagram socket of the test's own is its
// NOTIFY_SOCKET and WATCHDOG_USEC asks for keep-alives; the test plug-in stalls the D-Bus thread or
// the dispatch threads on demand.
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
#include <mutex>
#include <thread>

#include "ZemHostFixture.h"

namespace {

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
