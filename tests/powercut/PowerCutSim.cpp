// PowerCutSim: power cuts at random steps of the owned files' writes (the database, the
// configuration install, the settings, a certificate slot, a result package), each followed by a
// restart that opens the stores as the system does at start. Prints
// "cuts: N, torn: T, lost: L" and exits 1 when a file of the system does not load (torn) or a
// write that returned success is missing (lost); 2 on a usage or set-up error.
//
// Usage: PowerCutSim [--cuts N] [--seed S] [--fault fsync-after-rename]
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "PowerCutFileSystem.h"
#include "ZemTestSupport.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/ZemSettings.h"
#include "kest/security/SecurityService.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using Fault = PowerCutFileSystem::Fault;

// Writes per cut: version 0 is on disk before the run, versions 1..kWrites are written under it.
constexpr int kWrites = 2;
constexpr std::array<const char*, 5> kKindNames = {"database", "configuration", "settings", "certificate slot",
                                                   "result package"};
constexpr std::array<const char*, kWrites + 1> kLevels = {"", "WARNING", "TRACE"};

// The owned folders of one cut, laid out fresh under `root`.
struct Layout {
  explicit Layout(std::string root) : root(std::move(root)) {}
  std::vector<std::string> folders() const { return {store, configs, data, certs, outbox}; }
  std::string database() const { return store + "/database.xml"; }
  std::string config() const { return configs + "/config.xml"; }
  std::string settings() const { return data + "/settings.xml"; }
  std::string package(int version) const { return outbox + "/P" + std::to_string(version) + ".zip"; }
  const std::string root;
  const std::string store = root + "/STORE", configs = root + "/CONFIGS", data = root + "/DATA",
                    certs = root + "/CERTS", outbox = root + "/OUTBOX";
};

std::string schemaFile() { return ZEM_SOURCE_DIR "/schema/kolconfig.xsd"; }

std::string configText(int version) {
  return zem_test::document(
      "ProvisioningConfig",
      zem_test::propertyXml("StringPropertyAdapter", "propertyName=\"p" + std::to_string(version) + "\"", ""));
}

std::string packageEntry(int version) { return "result " + std::to_string(version) + "\n"; }

// What a restart found: the version of the store that survived, or why there is none.
struct Found {
  bool torn = false;
  int version = -1;  // -1: none of the written versions
  std::string detail;
};

// Torn, with the reason, when `path` does not load as a T; nothing when it does.
template <class T>
std::optional<Found> tornUnlessLoads(const std::string& path) {
  try {
    (void)xmldoc::parseFile<T>(path);
  } catch (const std::exception& e) {
    return Found{true, -1, File(path).getName() + " does not load: " + e.what()};
  }
  return std::nullopt;
}

// The first version 0..kWrites that `holds`, or `otherwise`.
Found versionWhere(const std::function<bool(size_t)>& holds, Found otherwise) {
  for (int version = 0; version <= kWrites; ++version) {
    if (holds(static_cast<size_t>(version))) return Found{false, version, ""};
  }
  return otherwise;
}

// One kind of owned file: lays out version 0 (durable), writes version v as the running system
// does (true when the write reported success), and reads the store back as a restart does.
class Store {
 public:
  virtual ~Store() = default;
  virtual void setUp(const Layout& layout) = 0;
  virtual bool write(int version) = 0;
  // The version found (packages: the newest present, all older ones checked present), or torn.
  // REQUIRES: write() no longer runs.
  virtual Found restart(const Layout& layout) = 0;
};

class DatabaseStore : public Store {
 public:
  void setUp(const Layout& layout) override {
    zem_test::writeFile(File(layout.root + "/default.xml"),
                        zem_test::databaseXml(zem_test::entryXml("n", zem_test::valueXml("Integer", "0"))));
    database_ =
        std::make_unique<XMLDatabaseImpl>(layout.database(), layout.root + "/default.xml", schemaFile(), layout.store);
    database_->load();
  }
  bool write(int version) override {
    const Types::PersistedIntegerValue value = zem_test::integerNode(version);
    return database_->setInteger("n", &value);
  }
  Found restart(const Layout& layout) override {
    database_.reset();
    if (auto torn = tornUnlessLoads<Types::PersistedDatabase>(layout.database())) return *torn;
    XMLDatabaseImpl reopened(layout.database(), layout.root + "/default.xml", schemaFile(), layout.store);
    reopened.load();
    const std::unique_ptr<IntegerValue> value = reopened.getInteger("n");
    return value == nullptr ? Found{true, -1, "database.xml has no value n"} : Found{false, value->getValue(), ""};
  }

 private:
  std::unique_ptr<XMLDatabaseImpl> database_;
};

class ConfigStore : public Store {
 public:
  void setUp(const Layout& layout) override {
    zem_test::writeFile(File(layout.config()), configText(0));
    path_ = layout.config();
  }
  bool write(int version) override {
    try {
      const auto config = xmldoc::parseString<Types::ProvisioningConfig>(configText(version));
      xmldoc::saveFile(*config, path_);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  Found restart(const Layout& layout) override {
    if (auto torn = tornUnlessLoads<Types::ProvisioningConfig>(layout.config())) return *torn;
    const std::string text = xmldoc::toString(*xmldoc::parseFile<Types::ProvisioningConfig>(layout.config()));
    return versionWhere(
        [&](size_t v) {
          return text ==
                 xmldoc::toString(*xmldoc::parseString<Types::ProvisioningConfig>(configText(static_cast<int>(v))));
        },
        Found{false, -1, "config.xml holds none of the written configurations"});
  }

 private:
  std::string path_;
};

class SettingsStore : public Store {
 public:
  void setUp(const Layout& layout) override {
    settings_ = std::make_unique<ZemSettings>(File(layout.settings()));
    settings_->load();  // writes the defaults: no level
  }
  bool write(int version) override {
    settings_->update([version](Types::ZemGlobalSettings* document) {
      document->set_componentLogLevel(kLevels[static_cast<size_t>(version)]);
    });
    return settings_->save();
  }
  Found restart(const Layout& layout) override {
    settings_.reset();
    if (auto torn = tornUnlessLoads<Types::ZemGlobalSettings>(layout.settings())) return *torn;
    ZemSettings reopened{File(layout.settings())};
    reopened.load();
    const std::string level = reopened.read([](const Types::ZemGlobalSettings* document) {
      return document != nullptr && document->has_componentLogLevel() ? document->get_componentLogLevel()
                                                                      : std::string();
    });
    return versionWhere([&](size_t v) { return level == kLevels[v]; },
                        Found{false, -1, "settings hold the level \"" + level + "\""});
  }

 private:
  std::unique_ptr<ZemSettings> settings_;
};

class SlotStore : public Store {
 public:
  static constexpr Security::SecurityService::CertificateSlot kSlot =
      Security::SecurityService::CertificateSlot::Cert2_Signing_CA;

  explicit SlotStore(std::vector<std::string> certificates) : certificates_(std::move(certificates)) {}
  void setUp(const Layout& layout) override {
    zem_test::writeFile(File(layout.certs + "/Cert2_Signing_CA"), certificates_[0]);
    security_ = std::make_unique<Security::SecurityService>(layout.certs);
  }
  bool write(int version) override {
    return security_->storeCertificate(kSlot, certificates_[static_cast<size_t>(version)]);
  }
  Found restart(const Layout& layout) override {
    security_.reset();
    const Security::SecurityService reopened(layout.certs);
    const std::string stored = reopened.readCertificate(kSlot);
    if (stored.empty()) return Found{true, -1, "the signing slot holds no usable certificate"};
    return versionWhere([&](size_t v) { return stored == certificates_[v]; },
                        Found{true, -1, "the signing slot holds none of the stored certificates"});
  }

 private:
  const std::vector<std::string> certificates_;
  std::unique_ptr<Security::SecurityService> security_;
};

// Each write adds a package of its own; restart() checks every package of the outbox and
// reports the highest version present (the writes of a cut run in order, so a present version
// implies the earlier ones, which check() verifies one by one).
class PackageStore : public Store {
 public:
  void setUp(const Layout& layout) override {
    layout_ = std::make_unique<Layout>(layout);
    // The entries are laid out before the run: only the packages are written under the cut.
    for (int version = 1; version <= kWrites; ++version) {
      zem_test::writeFile(entry(version), packageEntry(version));
    }
  }
  bool write(int version) override {
    try {
      ZipArchive package = ZipArchive::create(layout_->package(version));
      package.addFile("result.txt", entry(version));
      package.close();
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  Found restart(const Layout& layout) override {
    Found found{false, 0, ""};
    for (const File& package : File(layout.outbox).listFiles("zip")) {
      try {
        const ZipArchive archive = ZipArchive::openForReading(package.getPath());
        const File extracted = archive.extract("result.txt", File(layout.root + "/read"), package.getName(),
                                               ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
        const std::string name = package.getName();
        const int version = std::atoi(name.substr(1).c_str());
        if (zem_test::readFile(extracted) != packageEntry(version)) {
          return Found{true, -1, name + " holds another result"};
        }
        if (version > found.version) found.version = version;
      } catch (const std::exception& e) {
        return Found{true, -1, package.getName() + " does not open: " + e.what()};
      }
    }
    for (int version = 1; version <= found.version; ++version) {
      if (!File(layout.package(version)).exists()) {
        return Found{false, -1, "P" + std::to_string(version) + ".zip is missing"};
      }
    }
    return found;
  }

 private:
  File entry(int version) const { return File(layout_->root + "/entry" + std::to_string(version) + ".txt"); }

  std::unique_ptr<Layout> layout_;
};

struct Options {
  uint64_t cuts = 100;
  uint64_t seed = 1;
  Fault fault = Fault::kNone;
};

bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    char* end = nullptr;
    if (option == "--cuts" || option == "--seed") {
      const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || value[0] == '-') return false;
      (option == "--cuts" ? options->cuts : options->seed) = number;
    } else if (option == "--fault" && value == "fsync-after-rename") {
      options->fault = Fault::kFsyncAfterRename;
    } else {
      return false;
    }
  }
  return true;
}

// The result of one run of a kind's writes under the simulated file system.
struct Run {
  uint64_t steps = 0;
  bool torn = false;
  bool lost = false;
  std::string detail;
};

// Lays out a fresh `root`, writes versions 1..kWrites until one fails (or all succeed), cuts at
// `cutStep` (0: after the run), restarts and compares with what was acknowledged.
Run runOnce(Store& store, const std::string& root, uint64_t cutStep, uint64_t seed, Fault fault) {
  File(root).remove();
  File(root).mkdirs();
  const Layout layout(root);
  for (const std::string& folder : layout.folders()) File(folder).mkdirs();
  store.setUp(layout);

  int acknowledged = 0;  // version 0 was durable before the run
  int inFlight = -1;     // a write that failed: either outcome is correct
  Run run;
  {
    PowerCutFileSystem fileSystem(layout.folders(), cutStep, seed, fault);
    for (int version = 1; version <= kWrites && !fileSystem.cut(); ++version) {
      // Success reported after the cut reached nobody: the machine was off by then.
      if (!store.write(version) || fileSystem.cut()) {
        inFlight = version;
        break;
      }
      acknowledged = version;
    }
    run.steps = fileSystem.steps();
    std::string error;
    if (!fileSystem.applyCut(&error)) {
      run.torn = true;
      run.detail = error;
      return run;
    }
  }
  const Found found = store.restart(layout);
  run.torn = found.torn;
  run.lost = !found.torn && found.version != acknowledged && found.version != inFlight;
  run.detail = found.detail.empty()
                   ? "found version " + std::to_string(found.version) + ", acknowledged " + std::to_string(acknowledged)
                   : found.detail;
  return run;
}

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

int simulate(const Options& options) {
  // Durability is what the model records: the scratch files need no real flush, which would only
  // make the run as slow as the disk.
  xmldoc::fileIo().fsync = [](int) { return 0; };
  // A fresh sysroot: nothing of the device is touched, leftovers go with it. In memory when the
  // machine has a shared-memory file system: thousands of small files and folder removals would
  // otherwise wait on the disk.
  if (::access("/dev/shm", W_OK | X_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
  const TempFile sysroot("zem-powercut-");
  ::setenv("ZEM_SYSROOT", sysroot.getFile().getPath().c_str(), 1);
  const File schema(DevicePaths::configurationSchema()), tmp(sysroot.getFile(), "tmp");
  if (!tmp.mkdirs() || !schema.getParentFile().mkdirs() || !File(schemaFile()).copyTo(schema)) {
    std::fprintf(stderr, "cannot lay out the sysroot %s\n", sysroot.getFile().getPath().c_str());
    return 2;
  }
  ::setenv("TMPDIR", tmp.getPath().c_str(), 1);
  // The writes cut short log their errors: into the sysroot, not onto the console.
  const std::string appender = "log4cplus.appender.file";
  zem_test::writeFile(File(DevicePaths::loggingConfigFile()), "log4cplus.rootLogger=ERROR, file\n" + appender +
                                                                  "=log4cplus::FileAppender\n" + appender +
                                                                  ".File=" + tmp.getPath() + "/powercut.log\n");
  ApplicationLogger::configure(DevicePaths::loggingConfigFile(), DevicePaths::systemLogFile());

  std::vector<std::string> certificates;
  for (const zem_test::KeyPair* keys : {&zem_test::rsaKeys(), &zem_test::otherRsaKeys(), &zem_test::ecKeys()}) {
    certificates.push_back(zem_test::readFile(keys->certificate));
  }
  DatabaseStore database;
  ConfigStore config;
  SettingsStore settings;
  SlotStore slot(certificates);
  PackageStore packages;
  const std::array<Store*, 5> stores = {&database, &config, &settings, &slot, &packages};
  const std::string root = realPath(sysroot.getFile().getPath()) + "/run";

  // Steps of an uncut run of each kind: the range the cut is drawn from.
  std::array<uint64_t, 5> steps{};
  for (size_t kind = 0; kind < stores.size(); ++kind) {
    const Run calibration = runOnce(*stores[kind], root, 0, options.seed, Fault::kNone);
    if (calibration.torn || calibration.lost || calibration.steps == 0) {
      std::fprintf(stderr, "%s: the uncut run fails: %s\n", kKindNames[kind], calibration.detail.c_str());
      return 2;
    }
    steps[kind] = calibration.steps;
  }

  std::mt19937_64 random(options.seed);
  uint64_t torn = 0, lost = 0;
  for (uint64_t cut = 0; cut < options.cuts; ++cut) {
    const size_t kind = cut % stores.size();
    // steps + 1: the machine stops after the last call.
    const uint64_t cutStep = std::uniform_int_distribution<uint64_t>(1, steps[kind] + 1)(random);
    const Run run = runOnce(*stores[kind], root, cutStep, random(), options.fault);
    if (run.torn || run.lost) {
      if (torn + lost < 5) {
        std::fprintf(stderr, "cut %llu (%s, step %llu of %llu): %s: %s\n", static_cast<unsigned long long>(cut),
                     kKindNames[kind], static_cast<unsigned long long>(cutStep),
                     static_cast<unsigned long long>(steps[kind]), run.torn ? "torn" : "lost", run.detail.c_str());
      }
      torn += run.torn ? 1 : 0;
      lost += run.lost ? 1 : 0;
    }
  }
  File(root).remove();
  std::printf("cuts: %llu, torn: %llu, lost: %llu\n", static_cast<unsigned long long>(options.cuts),
              static_cast<unsigned long long>(torn), static_cast<unsigned long long>(lost));
  return torn == 0 && lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: PowerCutSim [--cuts N] [--seed S] [--fault fsync-after-rename]\n");
    return 2;
  }
  try {
    return simulate(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "PowerCutSim: %s\n", e.what());
    return 2;
  }
}
