// zem-host as a whole, on a seeded temporary device and a private bus started for the run:
//  (a) "Ping" round trips through the running daemon (bus -> the liveness lane on the bus thread ->
//      the application's servlet -> reply) against org.freedesktop.DBus.Peer.Ping to the same connection, answered by
//      the bus library itself, measured in the same run; prints the ratio (target: within 1.2x);
//  (b) the peak resident set (VmHWM) of the idle daemon once Ping answers 2 (target: under 16 MiB).
// Runtime is bounded (about 10 s): each benchmark runs a fixed number of 0.2 s repetitions, and
// every wait has a deadline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/loglevel.h>

#include "kest/ApplicationLogger.h"
#include "kest/ipc/DBusIpcClient.h"

extern char** environ;

namespace {

constexpr const char* kComponent = "ZEM_APP";

// Starts `argv` with the current environment plus `extra`, output to `logFile`. Returns its pid.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra,
            const std::string& logFile) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (extra.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
  std::vector<std::string> args(argv);
  std::vector<char*> argp, envp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// Waits up to `timeout` for `pid` to end. Returns its wait status, or -1 on timeout.
int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// "VmHWM" or "VmRSS" of a process in KiB, 0 when unknown.
long statusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return 0;
}

// The whole environment of the run: temporary device, private bus, the daemon and a client.
class Daemon {
 public:
  Daemon() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zem-hostbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    const std::string sysroot = base_ + "/root";
    const std::string log = base_ + "/run.log";

    const pid_t seed = spawn({"bash", std::string(ZEM_SOURCE_DIR) + "/scripts/seed-device", sysroot}, {}, log);
    const int seeded = waitFor(seed, std::chrono::seconds(30));
    if (seeded == -1 || !WIFEXITED(seeded) || WEXITSTATUS(seeded) != 0) throw std::runtime_error("seed-device failed");

    const std::string socket = base_ + "/bus";
    const std::string address = "unix:path=" + socket;
    busPid_ = spawn({"dbus-daemon", "--session", "--nofork", "--address=" + address}, {}, log);
    if (!waitUntil([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(10))) {
      throw std::runtime_error("the private bus did not come up");
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    hostPid_ = spawn({ZEM_HOST_BIN}, {{"ZEM_SYSROOT", sysroot}}, log);
    client_ = std::make_unique<Ipc::DBusIpcClient>();
    const bool ready = waitUntil(
        [&] {
          try {
            return ping() == 2;
          } catch (const std::exception&) {
            return false;
          }
        },
        std::chrono::seconds(30));
    if (!ready) throw std::runtime_error("zem-host did not answer Ping 2; see " + log);
    idlePeakKiB_ = statusKiB(hostPid_, "VmHWM");
    idleRssKiB_ = statusKiB(hostPid_, "VmRSS");
  }

  ~Daemon() {
    client_.reset();
    if (hostPid_ > 0) {
      kill(hostPid_, SIGTERM);
      if (waitFor(hostPid_, std::chrono::seconds(10)) == -1) {
        kill(hostPid_, SIGKILL);
        waitpid(hostPid_, nullptr, 0);
      }
    }
    if (busPid_ > 0) {
      kill(busPid_, SIGTERM);
      if (waitFor(busPid_, std::chrono::seconds(5)) == -1) {
        kill(busPid_, SIGKILL);
        waitpid(busPid_, nullptr, 0);
      }
    }
    std::error_code ignored;
    if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
  }

  int64_t ping() {
    const Ipc::IpcParameterSet out = client_->call(kComponent, "Zem", "Ping", Ipc::IpcParameterSet());
    return out.get<Ipc::IpcIntegerParameter>("status").getValue();
  }
  void peerPing() { client_->peerPing(kComponent); }
  pid_t hostPid() const { return hostPid_; }
  long idlePeakKiB() const { return idlePeakKiB_; }
  long idleRssKiB() const { return idleRssKiB_; }

 private:
  template <class Condition>
  static bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  std::string base_;
  pid_t busPid_ = -1;
  pid_t hostPid_ = -1;
  std::unique_ptr<Ipc::DBusIpcClient> client_;
  long idlePeakKiB_ = 0;
  long idleRssKiB_ = 0;
};

Daemon* gDaemon = nullptr;  // set by main for the benchmarks' lifetime

void BM_PeerPingSameConnection(benchmark::State& state) {
  for (auto _ : state) gDaemon->peerPing();
}

void BM_ZemHostPing(benchmark::State& state) {
  for (auto _ : state) {
    if (gDaemon->ping() != 2) state.SkipWithError("Ping did not answer 2");
  }
}

// Many short repetitions, interleaved at random (see main), so that a burst of load elsewhere on
// the machine touches both sides of the ratio alike; the medians are compared.
BENCHMARK(BM_PeerPingSameConnection)->UseRealTime()->MinTime(0.2)->Repetitions(15)->ReportAggregatesOnly(true);
BENCHMARK(BM_ZemHostPing)->UseRealTime()->MinTime(0.2)->Repetitions(15)->ReportAggregatesOnly(true);

// Prints as usual and keeps the median real time per iteration of each benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double median(const std::string& name) const {
    const auto it = median_.find(name);
    return it == median_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> median_;
};

}  // namespace

int main(int argc, char** argv) {
  // Connection attempts while the daemon starts are expected to fail; keep them off the console.
  ApplicationLogger::logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  std::unique_ptr<Daemon> daemon;
  try {
    daemon = std::make_unique<Daemon>();
  } catch (const std::exception& e) {
    std::cerr << "HostBench: cannot start zem-host: " << e.what() << "\n";
    return 1;
  }
  gDaemon = daemon.get();
  std::cout << "zem-host idle on the seeded device: peak RSS (VmHWM) " << daemon->idlePeakKiB()
            << " KiB = " << daemon->idlePeakKiB() / 1024.0 << " MiB (target < 16 MiB), RSS " << daemon->idleRssKiB()
            << " KiB\n";

  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double bare = reporter.median("BM_PeerPingSameConnection");
  const double zem = reporter.median("BM_ZemHostPing");
  if (bare > 0 && zem > 0) {
    std::cout << "Ping through zem-host / Peer.Ping to the same connection (medians): " << zem / bare
              << "x (target <= 1.2x)\n";
  }
  std::cout << "zem-host peak RSS after the benchmark: " << statusKiB(daemon->hostPid(), "VmHWM") << " KiB\n";
  gDaemon = nullptr;
  daemon.reset();
  benchmark::Shutdown();
  return 0;
}
