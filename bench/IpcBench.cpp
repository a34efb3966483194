// Round trips of an IPC call through DBusIpcService (bus thread -> dispatch thread -> servlet ->
// reply) against the bare D-Bus round trip to the same connection (org.freedesktop.DBus.Peer.Ping,
// answered by the bus library itself), measured in the same run; prints their ratio.
// Uses the session bus, or a private dbus-daemon started for the run when there is none.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kest/ipc/DBusIpcService.h"

namespace {

// A dbus-daemon of our own, a child of this process, stopped and reaped when the run ends.
class PrivateBus {
 public:
  PrivateBus() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    std::unique_ptr<FILE, int (*)(FILE*)> out(::fdopen(fds[0], "r"), &::fclose);
    const int writeEnd = fds[1];
    if (out == nullptr) {
      ::close(fds[0]);
      ::close(writeEnd);
      throw std::runtime_error("cannot read the pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
    char* const argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                          const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"), nullptr};
    const int spawned = ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(writeEnd);
    if (spawned != 0) throw std::runtime_error("cannot start dbus-daemon");
    char line[1024];
    std::string address;
    if (std::fgets(line, sizeof(line), out.get()) != nullptr) address = line;
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r')) address.pop_back();
    if (address.empty()) throw std::runtime_error("dbus-daemon printed no address");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

 private:
  pid_t pid_ = -1;
};

class PingServlet : public Ipc::IpcMethodServlet {
 public:
  explicit PingServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                         Ipc::IpcMethodCallResponse& response) override {
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", 2));
  }
};

// The service and client shared by every benchmark of the run.
struct Setup {
  Setup() {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) bus = std::make_unique<PrivateBus>();
    component = "ZEM_BENCH_" + std::to_string(::getpid());
    // No liveness lane: this measures the dispatch-thread path that every other member takes
    // (HostBench measures "Ping" on its lane).
    Ipc::DBusIpcService::Options options;
    options.livenessMembers.clear();
    service = std::make_unique<Ipc::DBusIpcService>("com.olvane." + component, options);
    const Ipc::ZemMessageDefinition ping("Ping",
                                         {{"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}});
    service->registerServlet(ping, std::make_unique<PingServlet>(ping));
    service->start();
    client = std::make_unique<Ipc::DBusIpcClient>();
  }
  std::unique_ptr<PrivateBus> bus;  // declared first: stopped last
  std::string component;
  std::unique_ptr<Ipc::DBusIpcService> service;
  std::unique_ptr<Ipc::DBusIpcClient> client;
};

Setup& setup() {
  static Setup instance;
  return instance;
}

void BM_BarePeerPing(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) s.client->peerPing(s.component);
}

void BM_ServletPing(benchmark::State& state) {
  Setup& s = setup();
  const Ipc::IpcParameterSet none;
  for (auto _ : state) {
    const Ipc::IpcParameterSet out = s.client->call(s.component, "Zem", "Ping", none);
    if (out.get<Ipc::IpcIntegerParameter>("status").getValue() != 2) state.SkipWithError("wrong Ping answer");
  }
}

BENCHMARK(BM_BarePeerPing)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_ServletPing)->Threads(1)->Threads(4)->UseRealTime();

// Prints as usual and keeps the real time per iteration of every run for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred && run.run_type == Run::RT_Iteration && run.iterations > 0)
        perIteration_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void printRatios() const {
    for (const char* threads : {"threads:1", "threads:4"}) {
      const auto bare = find("BM_BarePeerPing", threads);
      const auto servlet = find("BM_ServletPing", threads);
      if (bare > 0 && servlet > 0)
        std::cout << "Servlet Ping / bare D-Bus Peer.Ping round trip (" << threads << "): " << servlet / bare << "\n";
    }
  }

 private:
  double find(const std::string& benchmark, const std::string& threads) const {
    for (const auto& entry : perIteration_)
      if (entry.first.rfind(benchmark + "/", 0) == 0 && entry.first.find(threads) != std::string::npos)
        return entry.second;
    return 0;
  }
  std::map<std::string, double> perIteration_;
};

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter;
  bench::BenchmarkMain steps;
  steps.setUp = [] { setup(); };
  steps.setUpFailure = "IpcBench cannot set up D-Bus: ";
  steps.reporter = &reporter;
  steps.report = [&reporter] { reporter.printRatios(); };
  return bench::runBenchmarks(argc, argv, steps);
}
