// What the benchmarks share: the frame of their main(), child processes, polling with a deadline,
// and a unit made of a seeded temporary device, a private session bus and zem-host on it.
// Thread safety: the free functions are reentrant; a BenchUnit and runBenchmarks() belong to the
// main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kest/ipc/DBusIpcClient.h"

namespace benchmark {
class BenchmarkReporter;
}

namespace bench {

// What a google-benchmark program does around its registered benchmarks; every step is optional.
struct BenchmarkMain {
  // When not empty, ZEM_SYSROOT names a fresh empty folder "<sysrootPrefix>XXXXXX" for the whole
  // run (removed after it), so that nothing reaches real device folders.
  std::string sysrootPrefix;
  // Runs after the command line was read and before the first benchmark. When it throws,
  // `setUpFailure` and the reason are printed on stderr and the program ends with 1.
  std::function<void()> setUp;
  std::string setUpFailure;
  // Takes the results when not null (not owned); the console reporter otherwise.
  benchmark::BenchmarkReporter* reporter = nullptr;
  // Runs after the last benchmark: the figures derived from the results.
  std::function<void()> report;
};

// Reads the command line into google-benchmark, runs the registered benchmarks between the steps
// of `steps` and shuts google-benchmark down. Returns the exit status of the program: 0; 1 for an
// unrecognised argument or a failed setUp.
int runBenchmarks(int argc, char** argv, const BenchmarkMain& steps = BenchmarkMain());

// runBenchmarks() for code measured in process: ZEM_SYSROOT on a fresh empty folder
// "<sysrootPrefix>XXXXXX", so that nothing reaches real device folders, and log messages below
// ERROR dropped.
int runInEmptySysroot(int argc, char** argv, const std::string& sysrootPrefix);

// The frame of a benchmark that is a program of its own: returns what `body` returns; when it
// throws, prints "NAME: REASON" on stderr and returns `failureStatus`.
int runReported(const std::string& name, const std::function<int()>& body, int failureStatus = 1);

// A configuration document whose content is of schema type `type` (without prefix), with the XML
// attributes `attributes` (none when empty) and the elements `body`.
std::string configDocument(const std::string& type, const std::string& attributes, const std::string& body);
// `count` entries of a PersistedDatabase, keys "<keyPrefix>0" and on, each a string value
// "value number N of the benchmark database".
std::string stringEntries(const std::string& keyPrefix, int count);

// Starts `argv` (looked up in PATH) with the current environment plus `extra`, its output appended
// to `logFile`. Returns its pid; throws when it cannot be started.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra,
            const std::string& logFile);
// Waits up to `timeout` for `pid` to end. Returns its wait status, or -1 on timeout.
int waitFor(pid_t pid, std::chrono::milliseconds timeout);
// Sends SIGTERM, then SIGKILL when the process still runs after `grace`, and reaps it. Nothing
// for a pid <= 0.
void stop(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(10));
// The duration in microseconds.
double microseconds(std::chrono::steady_clock::duration duration);
// The value below which the share `p` (0..1) of `values` lies (nearest rank); 0 for no values.
double percentile(std::vector<double> values, double p);
// Polls `condition` every 5 ms until it holds or `timeout` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS"), 0 when unknown.
long statusKiB(pid_t pid, const std::string& field);
// The CPU time that the threads of `pid` have run so far, in microseconds, from the scheduler's
// nanosecond counts (/proc/PID/task/*/schedstat); 0 when unknown. Threads that ended are not counted.
double cpuMicroseconds(pid_t pid);
// What a process holds in memory, in KiB, as /proc reports it; every figure 0 when unknown.
struct Memory {
  long rssKiB = 0;          // VmRSS: every page mapped, shared ones counted in full
  long pssKiB = 0;          // Pss of smaps_rollup: shared pages divided among the processes mapping them
  int sharedLibraries = 0;  // distinct "*.so*" files mapped
};
Memory memoryOf(pid_t pid);
// "RSS N KiB (X MiB), PSS N KiB (X MiB), N shared libraries", for the figures printed.
std::string describe(const Memory& memory);
// Lays out a device at `sysroot` with scripts/seed-device; throws when it fails.
void seedDevice(const std::string& sysroot, const std::string& logFile);

// A temporary folder "zem-<name>-XXXXXX" holding a device seeded at sysroot(), a private session
// bus that this process's DBUS_SESSION_BUS_ADDRESS points at from construction on, a client on
// that bus, and zem-host once startHost() is called. Everything started is stopped, and the
// folder removed, on destruction. The output of every process goes to log().
class BenchUnit {
 public:
  explicit BenchUnit(const std::string& name);
  ~BenchUnit();
  BenchUnit(const BenchUnit&) = delete;
  BenchUnit& operator=(const BenchUnit&) = delete;

  // Starts zem-host on sysroot() with `extra` in its environment and waits until Ping answers 2;
  // throws after 30 s.
  void startHost(const std::map<std::string, std::string>& extra = {});
  void stopHost();
  // Ping's "status"; throws when the call fails.
  int64_t ping();

  Ipc::DBusIpcClient& client() { return *client_; }
  const std::string& base() const { return base_; }
  const std::string& sysroot() const { return sysroot_; }
  const std::string& log() const { return log_; }
  pid_t hostPid() const { return hostPid_; }

 private:
  std::string base_;
  std::string sysroot_;  // base_ + "/root"
  std::string log_;      // base_ + "/run.log"
  pid_t busPid_ = -1;
  pid_t hostPid_ = -1;
  std::unique_ptr<Ipc::DBusIpcClient> client_;
};

// A plain echo service on the bus of a BenchUnit: the fair floor for a call that carries a payload.
// This program, started again in a process of its own (its main() hands over to serve() when
// isServiceCommand() holds), owns com.olvane.BENCH_ECHO and answers "Echo" of interface
// com.olvane.Echo at /com/olvane/BENCH_ECHO: it reads the a{sv} of byte fields it is given and
// answers {"response": ay RESPONSE}. An sdbus-c++ object, whose byte fields move as one block, as
// zem-host moves them. Belongs to the thread that made it.
class EchoService {
 public:
  static constexpr const char* kComponent = "BENCH_ECHO";

  // Starts the echo answering `response` (its output goes to unit.log()) and waits until it answers
  // Peer.Ping; throws after 10 s.
  EchoService(BenchUnit& unit, const std::string& response);
  // Stops the echo process.
  ~EchoService();
  EchoService(const EchoService&) = delete;
  EchoService& operator=(const EchoService&) = delete;
  pid_t pid() const { return pid_; }

  // True when `argv` asks this program to be the echo process.
  static bool isServiceCommand(int argc, char** argv);
  // The echo process: serves the bytes of `responseFile` until it is stopped or the bus goes.
  // Returns 0 then; 1 when it cannot serve.
  static int serve(const std::string& responseFile);

 private:
  pid_t pid_ = -1;
};

}  // namespace bench
