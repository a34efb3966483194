// kill -9 at random moments of a running zem-host while a client sends acknowledged writes (jobs,
// property updates, log-level settings); after each restart nothing acknowledged is lost, no
// owned file is torn, no temporary file is left and the inbox drains. ZEM_KILLS sets the number
// of kills (default 50); ZEM_KILL_SEED the seed (default 1).
#include <signal.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "ZemHostFixture.h"
#include "ZemTestSupport.h"
#include "kest/zip/ZipArchive.h"

namespace {

namespace fs = std::filesystem;
using namespace zem_test;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

// The last value the unit acknowledged, and the values of writes that failed since (a write cut
// by the kill may or may not have landed).
struct Expected {
  std::string acknowledged;
  std::set<std::string> maybe;
  bool allows(const std::string& value) const { return value == acknowledged || maybe.count(value) != 0; }
  void written(const std::string& value, bool ok) {
    if (ok) {
      acknowledged = value;
      maybe.clear();
    } else {
      maybe.insert(value);
    }
  }
};

class KillCampaignE2ETest : public ZemHostFixture {
 protected:
  std::string unit(const std::string& relative) const { return sysroot() + "/media/olvane/" + relative; }
  std::string inbox() const { return unit("data/zem_app/INBOX"); }
  std::string outbox() const { return unit("data/zem_app/OUTBOX"); }

  void layOutUnit() {
    const std::string defaults = unit("configs/zem_app/");
    writeFile(File(defaults + "config.xml"),
              document("ProvisioningConfig",
                       groupXml("K", {},
                                propertyXml("IntegerPropertyAdapter", "propertyName=\"Count\"",
                                            "PersistedIntegerPropertyOrigin", "<k:key>K.Count</k:key>"))));
    writeFile(File(defaults + "database.xml"),
              databaseXml(entryXml("K", mapXml(entryXml("Count", valueXml("Integer", "0"))))));
  }

  // Owned files that do not load, and temporary files, anywhere in the unit's data and
  // configuration (the inbox's containers are the clients' and are not read here).
  std::vector<std::string> damage() const {
    std::vector<std::string> found;
    for (const std::string& top : {unit("data"), unit("configs"), unit("certs")}) {
      if (!fs::exists(top)) continue;
      for (const auto& entry : fs::recursive_directory_iterator(top)) {
        const std::string path = entry.path().string(), name = entry.path().filename().string();
        if (File::isTemporaryName(name)) {
          found.push_back("temporary file " + path);
        } else if (!entry.is_regular_file() || path.rfind(inbox(), 0) == 0) {
          continue;
        } else if (const std::string kind = entry.path().extension(); kind == ".xml" || kind == ".zip") {
          try {
            if (kind == ".xml") (void)xmldoc::parseString<Types::ConfigurationContent>(readFile(path));
            if (kind == ".zip") ZipArchive::openForReading(path).close();
          } catch (const std::exception& e) {
            found.push_back("torn " + path + ": " + e.what());
          }
        }
      }
    }
    return found;
  }

  std::string level() {
    const std::string out = zemctl({"log-level", "get"}).out;  // "level N (NAME)"
    return out.rfind("level ", 0) == 0 ? out.substr(6, out.find(' ', 6) - 6) : "unreadable: " + out;
  }
};

TEST_F(KillCampaignE2ETest, KillsAtRandomMomentsLoseNoAcknowledgedWriteAndLeaveNoTornOrTemporaryFile) {
  const uint64_t kills = fromEnvironment("ZEM_KILLS", 50);
  std::mt19937_64 random(fromEnvironment("ZEM_KILL_SEED", 1));
  layOutUnit();
  fs::create_directories(workFolder() + "/jobs");
  const std::string bus = startPrivateBus();  // names owned here meet no other test

  Expected count{"0", {}}, logLevel;
  std::set<std::string> acknowledgedJobs;
  int written = 0;
  std::array<int, 3> acknowledged{};  // property updates, levels, jobs
  for (uint64_t kill = 0; kill < kills && !HasFailure(); ++kill) {
    startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", bus}});
    ASSERT_TRUE(waitForPing(2)) << "after " << kill << " kills\n" << readFile(hostStderr());

    // What the previous kill left: recovered and consistent.
    ASSERT_TRUE(waitUntil([&] { return fs::is_empty(inbox()); }, std::chrono::seconds(60)))
        << "the inbox does not drain after kill " << kill;
    const std::string listed = zemctl({"outbox", "list"}).out;
    for (const std::string& id : acknowledgedJobs) {
      EXPECT_NE(listed.find(" " + id + "\n"), std::string::npos) << "acknowledged job " << id << " has no result";
    }
    const std::string storedCount = zemctl({"get", "K.Count"}).out;
    EXPECT_TRUE(count.allows(storedCount.substr(0, storedCount.size() - 1)))
        << "K.Count is " << storedCount << " after kill " << kill << ", acknowledged " << count.acknowledged;
    const std::string storedLevel = level();
    EXPECT_TRUE(kill == 0 || logLevel.allows(storedLevel))
        << "the level is " << storedLevel << " after kill " << kill << ", acknowledged " << logLevel.acknowledged;
    for (const std::string& problem : damage()) ADD_FAILURE() << problem << " after kill " << kill;
    count = Expected{storedCount.substr(0, storedCount.size() - 1), {}};
    logLevel = Expected{storedLevel, {}};
    acknowledgedJobs.clear();
    for (const auto& package : fs::directory_iterator(outbox())) fs::remove(package.path());  // keep it small

    // Writes until the kill, which comes at a random moment from another thread.
    std::atomic<bool> killed{false};
    const auto delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 700)(random));
    std::thread killer([&] {
      std::this_thread::sleep_for(delay);
      host()->sendSignal(SIGKILL);
      killed = true;
    });
    while (!killed) {
      const std::string value = std::to_string(++written);
      const std::size_t kind = random() % 3;
      bool ok = false;
      if (kind == 0) {
        ok = zemctl({"set", "K.Count", "integer:" + value}).out == "result true\n";
        count.written(value, ok);
      } else if (kind == 1) {
        const std::string chosen = std::to_string(random() % 6);
        ok = zemctl({"log-level", "set", chosen}).exitCode == 0;
        logLevel.written(chosen, ok);
      } else {
        const std::string id = "kill-" + value;
        const File job =
            makeJob(File(workFolder() + "/jobs/" + id + ".zip"), description("RequestZemDatabaseTaskDescription", id));
        ok = zemctl({"job", "submit", job.getPath()}).out.find("\nstatus 1\n") != std::string::npos;
        if (ok) acknowledgedJobs.insert(id);
        fs::remove(job.getPath());
      }
      acknowledged[kind] += ok ? 1 : 0;
    }
    killer.join();
    ASSERT_TRUE(stopHost(SIGKILL).has_value());
  }
  std::printf("kills: %llu, acknowledged: %d property updates, %d levels, %d jobs\n",
              static_cast<unsigned long long>(kills), acknowledged[0], acknowledged[1], acknowledged[2]);
}

}  // namespace
