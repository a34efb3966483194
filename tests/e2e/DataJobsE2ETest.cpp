// The data install, data request, log-files and bus update jobs through a real zem-host on a seeded
// temporary sysroot whose configuration holds one bus property, each driven by one zemctl command
// that builds, submits and waits.
#include <filesystem>

#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

using namespace zem_test;

class DataJobsE2ETest : public ZemHostFixture {
 protected:
  void SetUp() override {
    ZemHostFixture::SetUp();
    if (IsSkipped()) return;
    writeFile(File(sysroot() + "/media/olvane/configs/zem_app/config.xml"),
              document("ProvisioningConfig",
                       groupXml("BUS", {},
                                propertyXml("IntegerPropertyAdapter", "propertyName=\"Bitrate\"",
                                            "PersistedIntegerPropertyOrigin", "<k:key>BUS.Bitrate</k:key>"))));
    startHost({"--log-dir", extraLogFolder()}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }
  std::string extraLogFolder() const { return workFolder() + "/extra"; }
  std::string settingsPath() const { return sysroot() + "/media/olvane/data/zem_app/settings.xml"; }
  static bool has(const CommandResult& r, const std::string& text) { return r.out.find(text) != std::string::npos; }
};

TEST_F(DataJobsE2ETest, DataInstallReplacesTheSettingsAndDataRequestSendsThemWithTheLogExtract) {
  const File good(workFolder() + "/good/settings.xml");
  writeFile(good, document("ZemGlobalSettings",
                           "<k:maximumDataSize>2048</k:maximumDataSize><k:replayHistorySize>4</k:replayHistorySize>"));
  const CommandResult installed = zemctl({"data", "install", "--task-id", "inst-1", good.getPath()});
  EXPECT_EQ(installed.exitCode, 0) << installed.out << installed.err;
  EXPECT_TRUE(has(installed, "success true"));
  EXPECT_EQ(readFile(settingsPath()), readFile(good.getPath()));

  const CommandResult r = zemctl({"data", "request", "ZEM_EVENT_LOG", "ZEM_GLOBAL_SETTINGS"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(has(r, "taskId zemctl-") && has(r, "result RequestZemDataTaskResult")) << r.out;
  EXPECT_TRUE(has(r, "entry ZEM_EVENT_LOG LOGS/zemlog.txt ")) << r.out;
  EXPECT_TRUE(has(r, "entry ZEM_GLOBAL_SETTINGS settings.xml ")) << r.out;
  EXPECT_EQ(zemctl({"data", "request", "NOT_A_TYPE"}).exitCode, 3);
}

TEST_F(DataJobsE2ETest, LogsRequestPacksTheSystemLogAndTheNamedFilesOfTheLogFolders) {
  const File extra(extraLogFolder() + "/app.log");
  writeFile(extra, "one line of an application log\n");
  const File unit(sysroot() + "/cache/var/log/unit.log");
  writeFile(unit, "unit\n");
  const File outside(workFolder() + "/outside/secret.log");
  writeFile(outside, "secret\n");
  const CommandResult r = zemctl({"logs", "request", "--task-id", "logs-1", extra.getPath(),
                                  extraLogFolder() + "/missing.log", unit.getPath(), outside.getPath()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(has(r, "/OUTBOX/OBU.LOGFILES_logs-1_")) << r.out;
  EXPECT_TRUE(has(r, "entry ZEM_EVENT_LOG LOGS/app.log 31\n")) << r.out;
  EXPECT_TRUE(has(r, "entry ZEM_EVENT_LOG LOGS/unit.log 5\n")) << r.out;
  EXPECT_TRUE(has(r, "entry ZEM_EVENT_LOG LOGS/syslog.txt ")) << r.out;
  EXPECT_FALSE(has(r, "secret.log")) << r.out;
}

TEST_F(DataJobsE2ETest, BusUpdateWritesThePropertiesAppliesTheBusAndReportsARefusedWrite) {
  const CommandResult applied = zemctl({"bus", "update", "BUS.Bitrate=integer:250000", "--task-id", "bus-1"});
  EXPECT_EQ(applied.exitCode, 0) << applied.err;
  EXPECT_EQ(applied.out, "task bus-1\nsuccess true\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  const size_t reapplied = readFile(hostStderr()).find("Bus configuration re-applied");
  EXPECT_NE(reapplied, std::string::npos);

  const CommandResult refused = zemctl({"bus", "update", "BUS.Bitrate=string:fast", "--task-id", "bus-2"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.out,
            "task bus-2\nsuccess false\nerrorType 7\nerrorMessage Impossible to update property BUS.Bitrate\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  // A refused write never re-applies the bus configuration.
  EXPECT_EQ(readFile(hostStderr()).find("Bus configuration re-applied", reapplied + 1), std::string::npos);
}

}  // namespace
