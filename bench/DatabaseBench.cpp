// Cost of the persistent store against baselines measured in the same run: a durable set and a get
// of one integer in stores of 10, 1,000 and 10,000 entries, next to a raw durable replace of a
// file of the same size (write, fsync, rename, fsync of the folder) and to SQLite (WAL,
// synchronous=FULL) updating and reading one row. Runs in a temporary sysroot; prints the ratios
// at the end. Target: set/raw within 1.5 at 1,000 entries.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/XMLDatabaseImpl.h"
#include "kest/File.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace Types = Sarnet_Configuration::Types;

const std::vector<int64_t> kSizes{10, 1000, 10000};
const double kMinTime = 0.3;

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

void BM_DatabaseSet(benchmark::State& state) {
  XMLDatabaseImpl& store = *storeFixture(state.range(0)).store;
  Types::PersistedIntegerValue value;
  int32_t i = 0;
  for (auto _ : state) {
    value.set_integerValue(++i);
    if (!store.setInteger("counter", &value)) state.SkipWithError("set failed");
  }
}

void BM_DatabaseGet(benchmark::State& state) {
  XMLDatabaseImpl& store = *storeFixture(state.range(0)).store;
  for (auto _ : state) benchmark::DoNotOptimize(store.getInteger("counter"));
}

// The serialisation alone, to tell how much of a set it takes.
void BM_Serialise(benchmark::State& state) {
  const Types::PersistedDatabase& document = *storeFixture(state.range(0)).serialised;
  for (auto _ : state) benchmark::DoNotOptimize(xmldoc::toString(document));
}

// Baseline: what any durable replacement of a file of the same size costs.
void BM_RawDurableReplace(benchmark::State& state) {
  const StoreFixture& fixture = storeFixture(state.range(0));
  const std::string folder = workFolder() + "/raw" + std::to_string(state.range(0));
  File(folder).mkdirs();
  const std::string target = folder + "/file.xml";
  const std::string content(fixture.fileSize, 'x');
  for (auto _ : state) {
    std::string pattern = folder + "/.file.xml.XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fsync(fd) != 0 || close(fd) != 0 || rename(pattern.c_str(), target.c_str()) != 0) {
      state.SkipWithError("raw replace failed");
      break;
    }
    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(directory);
    close(directory);
  }
}

// Baseline: SQLite with one row per entry, WAL and synchronous=FULL.
struct SqliteFixture {
  explicit SqliteFixture(int64_t entries) {
    const std::string path = workFolder() + "/sqlite" + std::to_string(entries) + ".db";
    if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) throw std::runtime_error("sqlite open");
    handle.reset(raw);
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
    if (sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr);
    return {statement, sqlite3_finalize};
  }
  sqlite3* raw = nullptr;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle{nullptr, sqlite3_close};
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> update{nullptr, sqlite3_finalize};
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> select{nullptr, sqlite3_finalize};
};

SqliteFixture& sqliteFixture(int64_t entries) {
  static std::map<int64_t, std::unique_ptr<SqliteFixture>> fixtures;
  auto& fixture = fixtures[entries];
  if (!fixture) fixture = std::make_unique<SqliteFixture>(entries);
  return *fixture;
}

void BM_SqliteSet(benchmark::State& state) {
  SqliteFixture& fixture = sqliteFixture(state.range(0));
  int64_t i = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(fixture.update.get(), 1, ++i);
    if (sqlite3_step(fixture.update.get()) != SQLITE_DONE) state.SkipWithError("sqlite update failed");
    sqlite3_reset(fixture.update.get());
  }
}

void BM_SqliteGet(benchmark::State& state) {
  SqliteFixture& fixture = sqliteFixture(state.range(0));
  for (auto _ : state) {
    if (sqlite3_step(fixture.select.get()) != SQLITE_ROW) state.SkipWithError("sqlite select failed");
    benchmark::DoNotOptimize(sqlite3_column_int64(fixture.select.get(), 0));
    sqlite3_reset(fixture.select.get());
  }
}

#define ZEM_BENCH(function) \
  BENCHMARK(function)->ArgsProduct({kSizes})->MinTime(kMinTime)->UseRealTime()->Unit(benchmark::kMicrosecond)
ZEM_BENCH(BM_DatabaseSet);
ZEM_BENCH(BM_RawDurableReplace);
ZEM_BENCH(BM_SqliteSet);
ZEM_BENCH(BM_Serialise);
ZEM_BENCH(BM_DatabaseGet);
ZEM_BENCH(BM_SqliteGet);

// Prints like the console reporter and keeps each benchmark's real time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.run_name.function_name][run.run_name.args] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatios() const {
    std::printf("\nRatios (real time per operation, same run):\n");
    std::printf("%-8s %12s %12s %12s %14s %10s\n", "entries", "set/raw", "set/sqlite", "get/sqlite", "serialise/set",
                "set (us)");
    for (const int64_t size : kSizes) {
      const std::string arg = std::to_string(size);
      const double set = time("BM_DatabaseSet", arg);
      std::printf("%-8s %12.2f %12.2f %12.2f %14.2f %10.1f\n", arg.c_str(), set / time("BM_RawDurableReplace", arg),
                  set / time("BM_SqliteSet", arg), time("BM_DatabaseGet", arg) / time("BM_SqliteGet", arg),
                  time("BM_Serialise", arg) / set, set);
    }
    const double target = time("BM_DatabaseSet", "1000") / time("BM_RawDurableReplace", "1000");
    std::printf("Target set/raw <= 1.50 at 1000 entries: %.2f (%s)\n", target, target <= 1.5 ? "met" : "NOT met");
  }

 private:
  double time(const std::string& function, const std::string& arg) const {
    const auto f = times_.find(function);
    if (f == times_.end()) return 0.0 / 0.0;
    const auto a = f->second.find(arg);
    return a == f->second.end() ? 0.0 / 0.0 : a->second;
  }
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Everything happens below a fresh temporary sysroot; nothing touches the device folders.
  std::string pattern = File::tmpFolder().getPath() + "/zem-dbbench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  setenv("ZEM_SYSROOT", pattern.c_str(), 1);
  workFolder() = pattern + "/work";
  File(workFolder()).mkdirs();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  File(pattern).remove();
  return 0;
}
