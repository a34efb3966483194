// Container extraction: ZipArchive (open, extract the index and a 1 MiB payload through the
// size checks and the durable rename) against the `unzip` command doing the same work, measured in
// the same run. The figure to read is the counter "vs_unzip": our time per container divided by
// unzip's (below 1 means faster).
// Result reporting: CtpTask::reportResults (result folder, package with index and metadata,
// durable rename into the outbox) against the `zip` command packing the same two files; the
// figure is "vs_zip".
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchSupport.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/MetaDataService.h"
#include "kest/TempFile.h"
#include "kest/security/SecurityService.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"

namespace {

const File& workFolder() {
  static const TempFile folder("zem-zipbench-");
  return folder.getFile();
}

// A container like a database installation job: an index, a description and a 1 MiB database.
const std::string& containerPath() {
  static const std::string path = [] {
    const File source(workFolder(), "source");
    source.mkdirs();
    std::string database = "<database>";
    for (int i = 0; database.size() < (1u << 20); ++i) {
      database += "<entry key=\"A.b" + std::to_string(i) + "\">value " + std::to_string(i * 7919) + "</entry>";
    }
    database += "</database>";
    File(source, "database.xml").writeAtomically(database);
    File(source, "index.xml").writeAtomically(std::string(600, 'i'));
    File(source, "task.xml").writeAtomically(std::string(300, 't'));
    const File zip(workFolder(), "container.zip");
    ZipArchive archive = ZipArchive::create(zip.getPath());
    for (const char* name : {"index.xml", "task.xml", "database.xml"}) archive.addFile(name, File(source, name));
    archive.close();
    return zip.getPath();
  }();
  return path;
}

double unzipSecondsPerContainer() {
  const File target(workFolder(), "unzip-out");
  const std::string command = "unzip -o -q " + containerPath() + " index.xml database.xml -d " + target.getPath();
  constexpr int kRuns = 20;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRuns; ++i) {
    if (std::system(command.c_str()) != 0) return 0;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRuns;
}

void BM_ExtractContainer(benchmark::State& state) {
  const double baseline = unzipSecondsPerContainer();
  const File target(workFolder(), "ours-out");
  const auto validator = std::make_shared<const XmlValidatorLibXml2>(File(workFolder(), "none.xsd").getPath());
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    ZipArchive archive = ZipArchive::openForReading(containerPath(), validator);
    archive.extract("index.xml", target, "index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
    archive.extract("database.xml", target, "database.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
    archive.close();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (baseline > 0 && state.iterations() > 0) {
    state.counters["vs_unzip"] = (total / static_cast<double>(state.iterations())) / baseline;
    state.counters["unzip_ms"] = baseline * 1000;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_ExtractContainer)->Unit(benchmark::kMillisecond);

class SmallResultTask : public CtpTask {
 public:
  SmallResultTask() : CtpTask(nullptr) {}
  bool execute() override { return true; }
  // Plain writes: only the packaging is measured.
  void createTaskResults(const File& folder, bool /*success*/) override {
    std::ofstream(File(folder, "result.xml").getPath()) << std::string(400, 'r');
    std::ofstream(File(folder, "database.xml").getPath()) << std::string(20000, 'd');
  }
};

void BM_ReportResults(benchmark::State& state) {
  const File source(workFolder(), "report-source");
  source.mkdirs();
  File(source, "result.xml").writeAtomically(std::string(400, 'r'));
  File(source, "database.xml").writeAtomically(std::string(20000, 'd'));
  const std::string command = "cd " + source.getPath() + " && zip -q -X " + File(workFolder(), "z.zip").getPath() +
                              " result.xml database.xml && rm " + File(workFolder(), "z.zip").getPath();
  constexpr int kRuns = 20;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRuns; ++i) std::system(command.c_str());
  const double baseline = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRuns;

  auto services = std::make_shared<ExtensionServices>();
  services->setSecurityService(std::make_shared<Security::SecurityService>());
  services->setMetaDataService(std::make_shared<MetaDataService>("19.22.3"));
  double total = 0;
  for (auto _ : state) {
    SmallResultTask task;
    task.setExtensionServices(services);
    const auto begin = std::chrono::steady_clock::now();
    task.reportResults(true);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.PauseTiming();
    File(DevicePaths::outboxFolder()).remove();
    state.ResumeTiming();
  }
  if (state.iterations() > 0) {
    state.counters["vs_zip"] = (total / static_cast<double>(state.iterations())) / baseline;
    state.counters["zip_ms"] = baseline * 1000;
  }
}
BENCHMARK(BM_ReportResults)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // zem-host's heap settings, under which the code measured here runs in the daemon: without them
  // the deflate state's 128 KiB blocks would be mapped and zeroed anew for every entry.
  mallopt(M_MMAP_THRESHOLD, 132 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
  return bench::runInEmptySysroot(argc, argv, "zem-zipbench-sysroot-");
}
