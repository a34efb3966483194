// zem-host as a whole, on a seeded temporary device and a private bus started for the run:
//  (a) "Ping" round trips through the running daemon (bus -> the liveness lane on the bus thread ->
//      the application's servlet -> reply) against org.freedesktop.DBus.Peer.Ping to the same connection, answered by
//      the bus library itself, measured in the same run; prints the ratio (target: within 1.2x);
//  (b) the memory of the idle daemon once Ping answers 2: its resident set (VmRSS, target at most
//      11 MiB), its proportional set (PSS: shared pages divided among the processes that map them),
//      the shared libraries it maps, and its peak resident set (VmHWM, target under 16 MiB).
// Runtime is bounded (about 10 s): each benchmark runs a fixed number of 0.2 s repetitions, and
// every wait has a deadline.
#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <log4cplus/loglevel.h>

#include "BenchSupport.h"
#include "kest/ApplicationLogger.h"

namespace {

using bench::statusKiB;

constexpr const char* kComponent = "ZEM_APP";
constexpr long kIdleRssTargetKiB = 11 * 1024;
constexpr long kIdlePeakTargetKiB = 16 * 1024;

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

// The whole environment of the run: temporary device, private bus, the daemon and a client.
class Daemon {
 public:
  Daemon() : unit_("hostbench") {
    unit_.startHost();
    idlePeakKiB_ = statusKiB(unit_.hostPid(), "VmHWM");
    idle_ = bench::memoryOf(unit_.hostPid());
  }

  int64_t ping() { return unit_.ping(); }
  void peerPing() { unit_.client().peerPing(kComponent); }
  pid_t hostPid() const { return unit_.hostPid(); }
  long idlePeakKiB() const { return idlePeakKiB_; }
  const bench::Memory& idle() const { return idle_; }

 private:
  bench::BenchUnit unit_;
  long idlePeakKiB_ = 0;
  bench::Memory idle_;
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

  std::unique_ptr<Daemon> daemon;
  MedianReporter reporter;
  bench::BenchmarkMain steps;
  steps.setUp = [&daemon] {
    daemon = std::make_unique<Daemon>();
    gDaemon = daemon.get();
    const bench::Memory& idle = daemon->idle();
    std::cout << "zem-host idle on the seeded device: " << bench::describe(idle) << "\n"
              << "  idle RSS target <= 11 MiB: " << verdict(idle.rssKiB > 0 && idle.rssKiB <= kIdleRssTargetKiB)
              << "; peak RSS (VmHWM) " << daemon->idlePeakKiB() << " KiB, target < 16 MiB: "
              << verdict(daemon->idlePeakKiB() > 0 && daemon->idlePeakKiB() < kIdlePeakTargetKiB) << "\n";
  };
  steps.setUpFailure = "HostBench: cannot start zem-host: ";
  steps.reporter = &reporter;
  steps.report = [&] {
    const double bare = reporter.median("BM_PeerPingSameConnection");
    const double zem = reporter.median("BM_ZemHostPing");
    if (bare > 0 && zem > 0) {
      std::cout << "Ping through zem-host / Peer.Ping to the same connection (medians): " << zem / bare
                << "x (target <= 1.2x)\n";
    }
    std::cout << "zem-host peak RSS after the benchmark: " << statusKiB(daemon->hostPid(), "VmHWM") << " KiB\n";
    gDaemon = nullptr;
    daemon.reset();
  };
  return bench::runBenchmarks(argc, argv, steps);
}
