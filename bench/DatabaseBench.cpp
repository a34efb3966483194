// Cost of the persistent store against baselines measured in the same run: a durable set and a get
// of one integer in stores of 10, 1,000 and 10,000 entries, next to a raw durable replace of a
// file of the same size (write, fsync, rename, fsync of the folder) and to SQLite (WAL,
// synchronous=FULL) updating and reading one row. Runs in a temporary sysroot; prints the ratios
// at the end. Targets: set/raw within 1.3 at 10,000 entries; a get at 10,000 entries within 2x
// the get at 10 entries.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/File.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace Types = Sarnet_Configuration::Types;

const std::vector<int64_t> kSizes{10, 1000, 10000};

std::string& workFolder() {
  static std::string folder;
  return folder;
}

// A store of `entries` string entries plus the integer "counter", each in its own folder.
struct StoreFixture {
  explicit StoreFixture(int64_t entries) {
    folder = workFolder() + "/store" + std::to_string(entries);
    File(folder).mkdirs();
    auto document = xmldoc::createDocument<Types::PersistedDatabase>();
    auto* data = document->add_node_data();
    for (int64_t i = 0; i < entries; ++i) {
      auto* entry = data->add_node_entry();
      entry->set_key("key" + std::to_string(i));
      entry->add_node_value<Types::PersistedStringValue>()->set_stringValue("value of entry " + std::to_string(i));
    }
    auto* counter = data->add_node_entry();
    counter->set_key("counter");
    counter->add_node_value<Types::PersistedIntegerValue>()->set_integerValue(0);
    xmldoc::saveFile(*document, folder + "/database.xml");
    store = std::make_unique<XMLDatabaseImpl>(folder + "/database.xml", folder + "/default.xml",
                                              std::string(ZEM_SOURCE_DIR) + "/schema/kolconfig.xsd", folder);
    store->load();
    fileSize = File(folder + "/database.xml").size();
    serialised = document->clone();
  }
  std::string folder;
  std::unique_ptr<XMLDatabaseImpl> store;
  uint64_t fileSize = 0;
  std::unique_ptr<Types::PersistedDatabase> serialised;
};

StoreFixture& storeFixture(int64_t entries) {
  static std::map<int64_t, std::unique_ptr<StoreFixture>> fixtures;
  auto& fixture = fixtures[entries];
  if (!fixture) fixture = std::make_unique<StoreFixture>(entries);
  return *fixture;
}

// Baseline: SQLite with one row per entry, WAL and synchronous=FULL.
struct SqliteFixture {
  explicit SqliteFixture(int64_t entries) {
    const std::string path = workFolder() + "/sqlite" + std::to_string(entries) + ".db";
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open(path.c_str(), &raw);
    handle.reset(raw);  // a handle is returned even when the open fails
    if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + path);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("CREATE TABLE kv(key TEXT PRIMARY KEY, value)");
    exec("BEGIN");
    for (int64_t i = 0; i < entries; ++i) {
      exec("INSERT INTO kv VALUES('key" + std::to_string(i) + "', 'value of entry " + std::to_string(i) + "')");
    }
    exec("INSERT INTO kv VALUES('counter', 0)");
    exec("COMMIT");
    update = prepare("UPDATE kv SET value = ? WHERE key = 'counter'");
    select = prepare("SELECT value FROM kv WHERE key = 'counter'");
  }
  void exec(const std::string& sql) {
    if (sqlite3_exec(handle.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(handle.get()));
    }
  }
  using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
  Statement prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(handle.get()));
    }
    return Statement(statement, sqlite3_finalize);
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle{nullptr, sqlite3_close};
  Statement update{nullptr, sqlite3_finalize};
  Statement select{nullptr, sqlite3_finalize};
};

SqliteFixture& sqliteFixture(int64_t entries) {
  static std::map<int64_t, std::unique_ptr<SqliteFixture>> fixtures;
  auto& fixture = fixtures[entries];
  if (!fixture) fixture = std::make_unique<SqliteFixture>(entries);
  return *fixture;
}

// One durable replacement of `target` with `content` (temporary file, fsync, rename, fsync of the
// folder): the least any durable write of a file of that size costs.
bool rawDurableReplace(const std::string& folder, const std::string& target, const std::string& content) {
  std::string pattern = folder + "/.file.xml.XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  const bool written =
      write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) && fsync(fd) == 0;
  if (close(fd) != 0 || !written || rename(pattern.c_str(), target.c_str()) != 0) return false;
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (directory < 0) return false;
  const bool synced = fsync(directory) == 0;
  close(directory);
  return synced;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0.0 / 0.0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Medians per store size, filled by the benchmarks and printed at the end.
struct Figures {
  double set = 0.0 / 0.0, raw = 0.0 / 0.0, sqliteSet = 0.0 / 0.0, get = 0.0 / 0.0, sqliteGet = 0.0 / 0.0,
         serialise = 0.0 / 0.0, setCpu = 0.0 / 0.0, rawCpu = 0.0 / 0.0;
};
std::map<int64_t, Figures>& figures() {
  static std::map<int64_t, Figures> all;
  return all;
}

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: what an operation costs the processor, whatever the disk does.
double threadCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}
double microseconds(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

// The three durable writes interleaved in one loop, so that the drift of a shared disk affects them
// alike and the ratios stay meaningful. Reports medians.
void BM_DurableSet(benchmark::State& state) {
  const int64_t size = state.range(0);
  StoreFixture& store = storeFixture(size);
  SqliteFixture& sqlite = sqliteFixture(size);
  const std::string folder = workFolder() + "/raw" + std::to_string(size);
  File(folder).mkdirs();
  const std::string content(store.fileSize, 'x');
  Types::PersistedIntegerValue value;
  int32_t counter = 0;
  std::vector<double> sets, raws, sqlites, setCpu, rawCpu;
  for (auto _ : state) {
    const auto start = Clock::now();
    // Every order of the three in turn, so each follows each of the others equally often (a sync
    // pays for what the previous writer left in the file-system journal).
    static const int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const int operation : kOrders[counter % 6]) {
      const auto begin = Clock::now();
      const double cpuBegin = threadCpuMicroseconds();
      switch (operation) {
        case 0:
          value.set_integerValue(counter + 1);
          if (!store.store->setInteger("counter", &value)) state.SkipWithError("set failed");
          sets.push_back(microseconds(Clock::now() - begin));
          setCpu.push_back(threadCpuMicroseconds() - cpuBegin);
          break;
        case 1:
          if (!rawDurableReplace(folder, folder + "/file.xml", content)) state.SkipWithError("raw replace failed");
          raws.push_back(microseconds(Clock::now() - begin));
          rawCpu.push_back(threadCpuMicroseconds() - cpuBegin);
          break;
        default:
          sqlite3_bind_int64(sqlite.update.get(), 1, counter + 1);
          if (sqlite3_step(sqlite.update.get()) != SQLITE_DONE) state.SkipWithError("sqlite update failed");
          sqlite3_reset(sqlite.update.get());
          sqlites.push_back(microseconds(Clock::now() - begin));
          break;
      }
    }
    ++counter;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  Figures& figure = figures()[size];
  figure.set = median(sets);
  figure.raw = median(raws);
  figure.sqliteSet = median(sqlites);
  figure.setCpu = median(setCpu);
  figure.rawCpu = median(rawCpu);
  state.counters["set_us"] = figure.set;
  state.counters["raw_us"] = figure.raw;
  state.counters["sqlite_us"] = figure.sqliteSet;
  state.counters["set/raw"] = figure.set / figure.raw;
  state.counters["file_bytes"] = static_cast<double>(store.fileSize);
}

// Reads: the store's get (no file I/O) against a prepared SQLite select, interleaved likewise.
void BM_Get(benchmark::State& state) {
  const int64_t size = state.range(0);
  XMLDatabaseImpl& store = *storeFixture(size).store;
  SqliteFixture& sqlite = sqliteFixture(size);
  std::vector<double> gets, selects;
  for (auto _ : state) {
    const auto begin = Clock::now();
    benchmark::DoNotOptimize(store.getInteger("counter"));
    const auto middle = Clock::now();
    if (sqlite3_step(sqlite.select.get()) != SQLITE_ROW) state.SkipWithError("sqlite select failed");
    benchmark::DoNotOptimize(sqlite3_column_int64(sqlite.select.get(), 0));
    sqlite3_reset(sqlite.select.get());
    const auto end = Clock::now();
    gets.push_back(microseconds(middle - begin));
    selects.push_back(microseconds(end - middle));
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
  }
  Figures& figure = figures()[size];
  figure.get = median(gets);
  figure.sqliteGet = median(selects);
  state.counters["get_us"] = figure.get;
  state.counters["sqlite_us"] = figure.sqliteGet;
}

// The serialisation alone (CPU), to tell how much of a set it takes.
void BM_Serialise(benchmark::State& state) {
  const Types::PersistedDatabase& document = *storeFixture(state.range(0)).serialised;
  std::vector<double> samples;
  for (auto _ : state) {
    const auto begin = Clock::now();
    benchmark::DoNotOptimize(xmldoc::toString(document));
    samples.push_back(microseconds(Clock::now() - begin));
  }
  figures()[state.range(0)].serialise = median(samples);
}

BENCHMARK(BM_DurableSet)->ArgsProduct({kSizes})->Iterations(48)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Get)->ArgsProduct({kSizes})->MinTime(0.2)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Serialise)->ArgsProduct({kSizes})->MinTime(0.2)->Unit(benchmark::kMicrosecond);

void printRatios() {
  std::printf("\nMedians per operation and ratios against the baselines of the same run:\n");
  std::printf("%-8s %9s %9s %9s %8s %10s | %8s %8s %8s | %8s %8s %10s | %9s\n", "entries", "set us", "raw us",
              "sqlite us", "set/raw", "set/sqlite", "set cpu", "raw cpu", "cpu s/r", "get us", "sqlite", "get/sqlite",
              "serialise");
  for (const int64_t size : kSizes) {
    const Figures& f = figures()[size];
    std::printf("%-8lld %9.0f %9.0f %9.0f %8.2f %10.2f | %8.0f %8.0f %8.2f | %8.2f %8.2f %10.2f | %9.0f\n",
                static_cast<long long>(size), f.set, f.raw, f.sqliteSet, f.set / f.raw, f.set / f.sqliteSet, f.setCpu,
                f.rawCpu, f.setCpu / f.rawCpu, f.get, f.sqliteGet, f.get / f.sqliteGet, f.serialise);
  }
  std::printf(
      "(times in microseconds, medians; \"cpu\" is the thread's processor time, \"serialise\" the\n"
      " serialisation of the whole document alone)\n");
  const Figures& small = figures()[10];
  const Figures& large = figures()[10000];
  const double setRatio = large.set / large.raw;
  const double getRatio = large.get / small.get;
  std::printf("Target set/raw <= 1.30 at 10000 entries: %.2f (%s)\n", setRatio, setRatio <= 1.3 ? "met" : "NOT met");
  std::printf("Target get at 10000 / get at 10 entries <= 2.00: %.2f (%s)\n", getRatio,
              getRatio <= 2.0 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  bench::BenchmarkMain steps;
  // Everything happens below a fresh temporary sysroot; nothing touches the device folders.
  steps.sysrootPrefix = "zem-dbbench-";
  steps.setUp = [] {
    workFolder() = std::string(std::getenv("ZEM_SYSROOT")) + "/work";
    File(workFolder()).mkdirs();
  };
  steps.report = printRatios;
  return bench::runBenchmarks(argc, argv, steps);
}
