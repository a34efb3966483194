// The log-files job through zem-host on a seeded temporary device and a private bus: about 10 MiB
// of logs (the system log with a plain and a gzip predecessor, plus three additional files).
//  (a) time from "JobAppeared" to the result package in the outbox, median of 3 runs, against
//      `zip -r -q` of the same files measured in the same run (target: within 1.5x);
//  (b) growth of zem-host's peak resident set (VmHWM) over those runs (target: under 4 MiB): files
//      are streamed, never held whole.
// Bounded: a few seconds; every wait has a deadline.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <log4cplus/loglevel.h>

#include "BenchSupport.h"
#include "ContainerBuilder.h"
#include "JobCommands.h"
#include "kest/ApplicationLogger.h"
#include "kolconfig/Types.h"

namespace {

namespace fs = std::filesystem;
namespace Types = Sarnet_Configuration::Types;

constexpr int kRuns = 3;
constexpr auto kJobTimeout = std::chrono::seconds(30);
constexpr double kTargetRatio = 1.5;
constexpr long kTargetGrowthKiB = 4 * 1024;

// Writes about `bytes` of log lines in the system log's layout, of `component`.
void writeLog(const std::string& path, size_t bytes, const std::string& component, unsigned seed) {
  std::mt19937 engine(seed);
  const auto random = [&engine] { return static_cast<unsigned>(engine()); };
  std::ofstream out(path, std::ios::binary | std::ios::app);
  static const char* const kLevels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
  size_t written = 0;
  char line[256];
  for (unsigned n = 0; written < bytes; ++n) {
    const int len =
        std::snprintf(line, sizeof line,
                      "2024-03-01 10:%02u:%02u.%03u %s %s [Worker.cpp:%u void run()] request %u took %u us, "
                      "queue %u, peer %08x\n",
                      (n / 60000) % 60, (n / 1000) % 60, n % 1000, component.c_str(), kLevels[random() % 5],
                      random() % 900 + 10, n, random() % 100000, random() % 64, static_cast<unsigned>(random()));
    out.write(line, len);
    written += static_cast<size_t>(len);
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int runProcess(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = bench::spawn(argv, {}, log);
  const int status = bench::waitFor(pid, std::chrono::seconds(60));
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole benchmark: sets up, measures and prints its figures. Returns the exit status; throws
// when the unit fails.
int runBench() {
  bench::BenchUnit unit("logfilesbench");
  const std::string logFolder = unit.sysroot() + "/cache/var/log";
  // Requested files must lie in a log folder: the application folder is one.
  const std::string extra = unit.sysroot() + "/media/olvane/data/zem_app/extra-logs";
  fs::create_directories(logFolder);
  fs::create_directories(extra);
  writeLog(logFolder + "/messages.2", 1 << 20, "OTHER_APP", 1);
  if (runProcess({"gzip", "-f", logFolder + "/messages.2"}, unit.log()) != 0) throw std::runtime_error("gzip failed");
  writeLog(logFolder + "/messages.1", 2 << 20, "ZEM_APP", 2);
  writeLog(logFolder + "/messages", 1 << 20, "OTHER_APP", 3);
  std::vector<std::string> extras;
  for (int i = 0; i < 3; ++i) {
    extras.push_back(extra + "/app" + std::to_string(i) + ".log");
    writeLog(extras.back(), 2 << 20, "APP" + std::to_string(i), 10 + i);
  }
  unit.startHost();
  const std::string outbox = unit.sysroot() + "/media/olvane/data/zem_app/OUTBOX";
  const std::string inbox = unit.sysroot() + "/media/olvane/data/zem_app/INBOX";

  // Builds, places and announces a job; returns the seconds until its package is in the outbox.
  const auto runJob = [&](const Types::TaskDescription& description, const std::string& prefix) {
    ContainerBuilder builder;
    std::string error;
    const std::string staged = unit.base() + "/" + description.get_taskId() + ".zip";
    if (!builder.setDescription(description, &error) || !builder.build(staged, "", &error)) {
      throw std::runtime_error(error);
    }
    const std::string placed = JobCommands::placeInInbox(staged, inbox, &error);
    if (placed.empty()) throw std::runtime_error(error);
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", placed));
    const auto start = std::chrono::steady_clock::now();
    unit.client().call("ZEM_APP", "Zem", "JobAppeared", in);
    const std::string wanted = prefix + "_" + description.get_taskId() + "_";
    const bool done = bench::waitUntil(
        [&] {
          for (const auto& item : fs::directory_iterator(outbox)) {
            const std::string name = item.path().filename().string();
            if (name.rfind(wanted, 0) == 0 && item.path().extension() == ".zip") return true;
          }
          return false;
        },
        kJobTimeout);
    if (!done) throw std::runtime_error("no result package for " + wanted + "; see " + unit.log());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  // A small job first, so that what every first job costs once (the schema compiled, the
  // libraries' first allocations) does not count as growth due to the logs.
  Types::RequestZemDataTaskDescription warmUp;
  warmUp.set_taskId("warm-up");
  warmUp.add_node_dataType("ZEM_GLOBAL_SETTINGS");
  runJob(warmUp, "ZEM");
  const long peakBefore = bench::statusKiB(unit.hostPid(), "VmHWM");

  std::vector<double> jobSeconds;
  for (int run = 0; run < kRuns; ++run) {
    Types::RequestLogFilesZemTaskDescription description;
    description.set_taskId("logbench-" + std::to_string(run));
    for (const std::string& file : extras) description.add_node_additionalLogFile(file);
    jobSeconds.push_back(runJob(description, "OBU.LOGFILES"));
  }
  const long peakAfter = bench::statusKiB(unit.hostPid(), "VmHWM");

  std::vector<std::string> zipArgs{"zip", "-r", "-q", unit.base() + "/baseline.zip", logFolder};
  zipArgs.insert(zipArgs.end(), extras.begin(), extras.end());
  std::vector<double> zipSeconds;
  for (int run = 0; run < kRuns; ++run) {
    fs::remove(unit.base() + "/baseline.zip");
    const auto start = std::chrono::steady_clock::now();
    if (runProcess(zipArgs, unit.log()) != 0) throw std::runtime_error("zip failed; see " + unit.log());
    zipSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  const double ours = median(jobSeconds), theirs = median(zipSeconds), ratio = ours / theirs;
  const long growth = peakAfter - peakBefore;
  std::cout << "log files: ~10 MiB (system log + .1 + .2.gz, three 2 MiB files)\n";
  std::cout << "announcement to package: median " << ours * 1000 << " ms; zip -r: median " << theirs * 1000
            << " ms; ratio " << ratio << " (target <= " << kTargetRatio
            << "): " << (ratio <= kTargetRatio ? "PASS" : "FAIL") << "\n";
  std::cout << "zem-host VmHWM " << peakBefore << " KiB -> " << peakAfter << " KiB, growth " << growth
            << " KiB (target < " << kTargetGrowthKiB << "): " << (growth < kTargetGrowthKiB ? "PASS" : "FAIL") << "\n";
  return ratio <= kTargetRatio && growth < kTargetGrowthKiB ? 0 : 1;
}

}  // namespace

int main() {
  ApplicationLogger::logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  return bench::runReported("LogFilesBench", runBench, 2);
}
