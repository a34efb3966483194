// Jobs through zem-host on a seeded temporary device and a private bus started for the run, with
// a 1,000-entry database installed by a job:
//  (a) throughput: 500 "RequestZemDatabaseTaskDescription" containers, built beforehand in a
//      staging folder, are moved into the inbox and announced with "JobAppeared" as fast as the
//      bus takes them; measured from the first announcement to the 500th result package renamed
//      into the outbox: jobs per second against the target of 600 jobs/s, and the daemon's CPU
//      time per job against the target of 1 ms: utime + stime of the whole process from
//      /proc/PID/stat, which sums every thread (the bus dispatch threads, the task queue's worker,
//      threads that already ended), not only the main one; then, as the baseline of the same run,
//      the file-system work no job can skip, done by the benchmark itself in the same folders: a
//      container-sized file unlinked from the inbox, a package-sized file created, written,
//      fsynced and renamed into the outbox, the outbox fsynced. Its CPU cost depends on the file
//      system's state (ext4 without a journal, for one, scans past every inode freed in the last
//      minutes before it gives out a new one), so the ratio to it says more than the bare figure;
//  (b) leaks: a freshly started daemon runs 2,000 jobs in batches of 100 (the outbox is emptied
//      between batches); its RSS after the first 100 jobs is compared with its RSS after 2,000
//      (target: within 1 MiB), and its RSS and PSS after 2,000 jobs with the same figures of the
//      idle daemon before the first job, also taken at rest (targets: idle RSS at most 11 MiB, RSS
//      after the jobs at most idle + 3 MiB).
// The device lies under TMPDIR (default /tmp), and the first line names the file system it is on:
// pointing TMPDIR at another file system gives the figures there.
// A plain program that prints its figures; "--throughput-only" stops after (a). Every wait has a deadline; the whole
// run stays within a few minutes even when the daemon is slow (the leak phase stops early and says so).
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/loglevel.h>

#include "BenchSupport.h"
#include "kest/ApplicationLogger.h"
#include "kest/File.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kest/zip/ZipArchive.h"

namespace fs = std::filesystem;

namespace {

using bench::statusKiB;

constexpr const char* kComponent = "ZEM_APP";
constexpr int kThroughputJobs = 500;
constexpr int kLeakJobs = 2000;
constexpr int kLeakBatch = 100;
constexpr double kTargetJobsPerSecond = 600.0;
constexpr double kTargetCpuMsPerJob = 1.0;
constexpr long kLeakTargetKiB = 1024;
constexpr long kGrowthTargetKiB = 3 * 1024;
constexpr long kIdleTargetKiB = 11 * 1024;
constexpr auto kBatchTimeout = std::chrono::seconds(120);
constexpr auto kLeakPhaseBudget = std::chrono::seconds(150);

std::string indexDocument(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string body;
  for (const auto& [type, file] : entries) {
    body += "<k:taskIndexEntry><k:type>";
    body += type;
    body += "</k:type><k:file>";
    body += file;
    body += "</k:file></k:taskIndexEntry>";
  }
  return bench::configDocument("TaskIndex", "", body);
}

std::string databaseWithEntries(int count) {
  const std::string body = "<k:data>" + bench::stringEntries("Bench", count);
  return bench::configDocument("PersistedDatabase", "", body + "</k:data>");
}

// The CPU time of a process in seconds, user and system (fields 14 and 15 of /proc/PID/stat): the
// sum over all its threads, live and ended (/proc/PID/task/TID/stat would give one thread's share).
struct CpuTimes {
  double user = 0;
  double system = 0;
  unsigned long long minorFaults = 0;  // field 10: page faults served without I/O
  double total() const { return user + system; }
};

CpuTimes cpuTimes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(all.substr(close + 2));  // field 3 onwards
  std::string field;
  unsigned long long utime = 0, stime = 0, minflt = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 10) minflt = std::stoull(field);
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  const auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return {static_cast<double>(utime) / ticks, static_cast<double>(stime) / ticks, minflt};
}

// CPU time (user + system) of the calling thread in seconds.
double threadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void mustSucceed(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The file-system floor of `jobs` jobs, in CPU seconds of this thread: per job, one file of
// `containerBytes` unlinked from `inbox` (made beforehand, not timed) and one of `packageBytes`
// made durably in `outbox` as the daemon makes a package (hidden name, write, fsync, rename,
// folder fsync). Removes what it made.
double fileSystemFloorSeconds(const std::string& inbox, const std::string& outbox, int jobs, size_t containerBytes,
                              size_t packageBytes) {
  const std::string container(containerBytes, 'c');
  const std::string package(packageBytes, 'p');
  const auto write = [](const std::string& path, const std::string& bytes, bool durable) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    mustSucceed(fd >= 0, "cannot create " + path);
    const bool ok =
        ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && (!durable || ::fsync(fd) == 0);
    ::close(fd);
    mustSucceed(ok, "cannot write " + path);
  };
  for (int i = 0; i < jobs; ++i) write(inbox + "/floor-" + std::to_string(i) + ".zip", container, false);
  const int folder = ::open(outbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  mustSucceed(folder >= 0, "cannot open " + outbox);
  const double before = threadCpuSeconds();
  for (int i = 0; i < jobs; ++i) {
    mustSucceed(::unlink((inbox + "/floor-" + std::to_string(i) + ".zip").c_str()) == 0, "cannot unlink");
    const std::string name = outbox + "/floor-" + std::to_string(i) + ".zip";
    write(name + ".tmp", package, true);
    mustSucceed(::rename((name + ".tmp").c_str(), name.c_str()) == 0 && ::fsync(folder) == 0, "cannot place " + name);
  }
  const double spent = threadCpuSeconds() - before;
  ::close(folder);
  for (int i = 0; i < jobs; ++i) ::unlink((outbox + "/floor-" + std::to_string(i) + ".zip").c_str());
  return spent;
}

// The file system holding `path`, from the last mount over its longest mount point in
// /proc/self/mountinfo: "TYPE on SOURCE at MOUNT POINT", for ext3 and ext4 with "journal" or "no
// journal" (whether the kernel runs a journal thread for the device), and "discard" when freed
// blocks are discarded at once. The same job costs several times the CPU on one file system as on
// another; the figures say where they were taken.
std::string fileSystemOf(const std::string& path) {
  std::error_code ignored;
  const std::string real = fs::weakly_canonical(path, ignored).string();
  std::ifstream in("/proc/self/mountinfo");
  std::string line, type, source, options, at;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, mountOptions, field, fsType, fsSource, superOptions;
    fields >> id >> parent >> device >> root >> point >> mountOptions;
    while (fields >> field && field != "-") {
    }
    fields >> fsType >> fsSource >> superOptions;
    const bool holds = point == "/" || real == point || real.rfind(point + "/", 0) == 0;
    if (holds && point.size() >= at.size()) {
      type = fsType;
      source = fsSource;
      options = std::string(",").append(mountOptions).append(",").append(superOptions).append(",");
      at = point;
    }
  }
  if (type.empty()) return "unknown";
  std::string text = type + " on " + source + " at " + at;
  if (type == "ext3" || type == "ext4") {
    const bool journal = fs::exists("/proc/fs/jbd2/" + fs::path(source).filename().string() + "-8", ignored);
    text += journal ? ", journal" : ", no journal";
  }
  if (options.find(",discard,") != std::string::npos) text += ", discard";
  return text;
}

// The mean size of the regular files in `folder`, in bytes; 0 for none.
size_t meanFileSize(const std::string& folder) {
  uintmax_t total = 0;
  uintmax_t count = 0;
  for (const auto& item : fs::directory_iterator(folder)) {
    if (!item.is_regular_file()) continue;
    total += item.file_size();
    ++count;
  }
  return count == 0 ? 0 : static_cast<size_t>(total / count);
}

// Counts the result packages renamed into the outbox, as inotify reports them.
class OutboxWatch {
 public:
  explicit OutboxWatch(const std::string& outbox) : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (fd_ < 0 || inotify_add_watch(fd_, outbox.c_str(), IN_MOVED_TO) < 0) {
      throw std::runtime_error("cannot watch " + outbox + ": " + std::strerror(errno));
    }
  }
  ~OutboxWatch() { ::close(fd_); }
  OutboxWatch(const OutboxWatch&) = delete;
  OutboxWatch& operator=(const OutboxWatch&) = delete;

  // Waits until `count` packages arrived since construction or `timeout` passes. Returns the
  // number seen and the time the last one was seen.
  int waitFor(int count, std::chrono::milliseconds timeout, std::chrono::steady_clock::time_point* last) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    alignas(inotify_event) char buffer[64 * 1024];
    while (seen_ < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      const auto now = std::chrono::steady_clock::now();
      for (ssize_t offset = 0; offset < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        const std::string name = event->len > 0 ? event->name : "";
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0 && name[0] != '.') {
          ++seen_;
          *last = now;
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return seen_;
  }

 private:
  int fd_;
  int seen_ = 0;
};

// The device, the private bus and the daemon, with a staging folder for containers.
class Unit {
 public:
  Unit() : unit_("jobbench") {
    fs::create_directories(hostTmp());
    fs::create_directories(staging());
  }

  void startHost() { unit_.startHost({{"TMPDIR", hostTmp()}}); }
  void stopHost() { unit_.stopHost(); }

  std::string app() const { return unit_.sysroot() + "/media/olvane/data/zem_app"; }
  std::string inbox() const { return app() + "/INBOX"; }
  std::string outbox() const { return app() + "/OUTBOX"; }
  std::string staging() const { return unit_.base() + "/staging"; }
  std::string hostTmp() const { return unit_.base() + "/host-tmp"; }
  const std::string& log() const { return unit_.log(); }
  pid_t hostPid() const { return unit_.hostPid(); }

  // Writes a container into the staging folder; returns its path. `payload` names the type and the
  // file of each further entry, taken from the folder staging()/NAME.d. The documents go in from
  // memory: staging creates one file per container and deletes none, so that it leaves the file
  // system no more freed inodes than the jobs themselves do.
  std::string stage(const std::string& name, const std::string& description,
                    const std::vector<std::pair<std::string, std::string>>& payload = {}) {
    std::vector<std::pair<std::string, std::string>> index = {{"TASK_REQUEST", "task.xml"}};
    for (const auto& item : payload) index.emplace_back(item.first, item.second);
    std::string path = staging() + "/" + name + ".zip";
    ZipArchive archive = ZipArchive::create(path);
    archive.addBytes("index.xml", indexDocument(index), std::time(nullptr), 0644);
    archive.addBytes("task.xml", description, std::time(nullptr), 0644);
    for (const auto& item : payload) archive.addFile(item.second, File(staging() + "/" + name + ".d", item.second));
    archive.close();
    return path;
  }

  std::string stageRequest(const std::string& taskId) {
    return stage(taskId, bench::configDocument("RequestZemDatabaseTaskDescription", "taskId=\"" + taskId + "\"", ""));
  }

  // Moves a staged container into the inbox; returns its inbox path.
  std::string move(const std::string& staged) {
    std::string target = inbox() + "/" + fs::path(staged).filename().string();
    fs::rename(staged, target);
    return target;
  }

  // Announces a container; returns the status answered.
  int64_t announce(const std::string& path) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", path));
    return unit_.client().call(kComponent, "Zem", "JobAppeared", in).get<Ipc::IpcIntegerParameter>("status").getValue();
  }

  void clearOutbox() {
    for (const auto& item : fs::directory_iterator(outbox())) fs::remove(item.path());
  }

 private:
  bench::BenchUnit unit_;
};

// Moves and announces `staged` containers; waits for as many packages. Returns the packages seen.
int runBatch(Unit& unit, const std::vector<std::string>& staged, std::chrono::steady_clock::time_point* first,
             std::chrono::steady_clock::time_point* last) {
  OutboxWatch watch(unit.outbox());
  std::vector<std::string> inInbox;
  inInbox.reserve(staged.size());
  for (const std::string& path : staged) inInbox.push_back(unit.move(path));
  *first = std::chrono::steady_clock::now();
  for (const std::string& path : inInbox) {
    if (unit.announce(path) != 1) throw std::runtime_error("JobAppeared refused " + path);
  }
  return watch.waitFor(static_cast<int>(staged.size()), kBatchTimeout, last);
}

void installDatabase(Unit& unit) {
  // stage() takes the payload from the container's own staging folder.
  const File payloadFolder(unit.staging() + "/install-db.d");
  payloadFolder.mkdirs();
  std::ofstream(payloadFolder.getPath() + "/database.xml") << databaseWithEntries(1000);
  const std::string staged = unit.stage(
      "install-db",
      bench::configDocument("InstallZemDatabaseTaskDescription", "taskId=\"install-db\" forceOverride=\"true\"", ""),
      {{"ZEM_DATABASE", "database.xml"}});
  std::chrono::steady_clock::time_point first, last;
  if (runBatch(unit, {staged}, &first, &last) != 1) throw std::runtime_error("the database install did not report");
  unit.clearOutbox();
  fs::remove_all(payloadFolder.getPath());
}

// Prints the memory of the daemon idle before the leak phase and after its `jobs` jobs.
void reportMemory(const bench::Memory& idle, const bench::Memory& after, int jobs) {
  const long growth = after.rssKiB - idle.rssKiB;
  std::cout << "zem-host idle before the jobs: " << bench::describe(idle) << " (target RSS <= " << kIdleTargetKiB
            << " KiB: " << (idle.rssKiB > 0 && idle.rssKiB <= kIdleTargetKiB ? "met" : "NOT met") << ")\n"
            << "zem-host after " << jobs << " jobs: " << bench::describe(after) << "\n"
            << "RSS growth over idle: " << growth << " KiB, PSS growth " << (after.pssKiB - idle.pssKiB)
            << " KiB (target RSS <= idle + " << kGrowthTargetKiB
            << " KiB: " << (idle.rssKiB > 0 && growth <= kGrowthTargetKiB ? "met" : "NOT met") << ")\n";
}

// The whole benchmark: sets up, measures and prints its figures. Returns the exit status; throws
// when the unit fails.
int runBench(bool throughputOnly) {
  Unit unit;
  unit.startHost();
  installDatabase(unit);
  std::cout << "zem-host on a seeded device with a 1,000-entry database installed by a job; file system: "
            << fileSystemOf(unit.outbox()) << "\n";

  // (a) throughput
  std::vector<std::string> staged;
  staged.reserve(kThroughputJobs);
  const auto buildStart = std::chrono::steady_clock::now();
  for (int i = 0; i < kThroughputJobs; ++i) staged.push_back(unit.stageRequest("tp-" + std::to_string(i)));
  const double buildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - buildStart).count();
  std::cout << "staged " << kThroughputJobs << " containers in " << buildSeconds << " s\n";
  const size_t containerBytes = meanFileSize(unit.staging());

  const CpuTimes cpuBefore = cpuTimes(unit.hostPid());
  std::chrono::steady_clock::time_point first, last;
  const int done = runBatch(unit, staged, &first, &last);
  const CpuTimes cpuAfter = cpuTimes(unit.hostPid());
  if (done != kThroughputJobs) {
    std::cout << "only " << done << " of " << kThroughputJobs << " result packages arrived; see " << unit.log() << "\n";
    return 1;
  }
  const double seconds = std::chrono::duration<double>(last - first).count();
  const double jobsPerSecond = kThroughputJobs / seconds;
  const double cpuPerJobMs = (cpuAfter.total() - cpuBefore.total()) * 1000.0 / kThroughputJobs;
  const double userPerJobMs = (cpuAfter.user - cpuBefore.user) * 1000.0 / kThroughputJobs;
  std::cout << "throughput: " << kThroughputJobs << " jobs in " << seconds << " s = " << jobsPerSecond
            << " jobs/s; ratio to the target of " << kTargetJobsPerSecond
            << " jobs/s: " << jobsPerSecond / kTargetJobsPerSecond << "x\n";
  std::cout << "zem-host CPU time (utime+stime) per job: " << cpuPerJobMs << " ms (user " << userPerJobMs
            << " ms, system " << cpuPerJobMs - userPerJobMs << " ms; " << (cpuAfter.total() - cpuBefore.total())
            << " s for " << kThroughputJobs << " jobs; wall per job " << seconds * 1000.0 / kThroughputJobs << " ms; "
            << static_cast<double>(cpuAfter.minorFaults - cpuBefore.minorFaults) / kThroughputJobs
            << " page faults); ratio to the target of " << kTargetCpuMsPerJob
            << " ms: " << cpuPerJobMs / kTargetCpuMsPerJob << "x\n";
  const size_t packageBytes = meanFileSize(unit.outbox());
  unit.clearOutbox();
  const double floorMs =
      fileSystemFloorSeconds(unit.inbox(), unit.outbox(), kThroughputJobs, containerBytes, packageBytes) * 1000.0 /
      kThroughputJobs;
  std::cout << "baseline, the file-system floor of a job (unlink a " << containerBytes << "-byte container, write a "
            << packageBytes << "-byte package durably): " << floorMs
            << " ms CPU per job; zem-host per job / floor: " << cpuPerJobMs / floorMs
            << "x, above the floor: " << cpuPerJobMs - floorMs << " ms\n";
  if (throughputOnly) return 0;

  // (b) leaks, on a freshly started daemon
  unit.stopHost();
  unit.startHost();
  // Taken at rest, as the figures after the jobs are: the daemon trims its heap just after it
  // answers Ping 2.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const bench::Memory idle = bench::memoryOf(unit.hostPid());
  const auto phaseStart = std::chrono::steady_clock::now();
  long rssAfterFirst = 0;
  long rssAfterLast = 0;
  int jobs = 0;
  while (jobs < kLeakJobs) {
    if (std::chrono::steady_clock::now() - phaseStart > kLeakPhaseBudget) {
      std::cout << "leak phase stopped after " << jobs << " jobs: time budget spent\n";
      break;
    }
    std::vector<std::string> batch;
    batch.reserve(kLeakBatch);
    for (int i = 0; i < kLeakBatch; ++i) batch.push_back(unit.stageRequest("leak-" + std::to_string(jobs + i)));
    if (runBatch(unit, batch, &first, &last) != kLeakBatch) {
      std::cout << "a leak batch did not complete; see " << unit.log() << "\n";
      return 1;
    }
    jobs += kLeakBatch;
    unit.clearOutbox();
    // The two figures compared are taken at rest: the daemon gives freed heap pages back once its
    // queue has been empty for a moment (200 ms), as after any burst of jobs.
    if (jobs == kLeakBatch || jobs == kLeakJobs) std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = statusKiB(unit.hostPid(), "VmRSS");
    if (jobs == kLeakBatch) rssAfterFirst = rss;
    rssAfterLast = rss;
  }
  std::cout << "RSS (VmRSS) of zem-host after " << kLeakBatch << " jobs: " << rssAfterFirst << " KiB; after " << jobs
            << " jobs: " << rssAfterLast << " KiB; difference " << (rssAfterLast - rssAfterFirst)
            << " KiB (target within " << kLeakTargetKiB << " KiB)\n";
  reportMemory(idle, bench::memoryOf(unit.hostPid()), jobs);
  const bool tmpClean = fs::is_empty(unit.hostTmp());
  std::cout << "temporary folders left by zem-host: " << (tmpClean ? "none" : "some") << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool throughputOnly = argc > 1 && std::string(argv[1]) == "--throughput-only";
  ApplicationLogger::logger().setLogLevel(log4cplus::OFF_LOG_LEVEL);
  return bench::runReported("JobBench", [&] { return runBench(throughputOnly); });
}
