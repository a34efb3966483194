// The application object's start-up and shut-down, and the servlets it serves, driven through the
// in-process IPC service on the test sysroot.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RunningApp.h"
#include "app/ZemApp.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"

namespace {

using namespace apptest;
using kest::testing::LogCapture;

std::string configWith(const std::string& value) {
  return document("ProvisioningConfig", propertyXml("StringPropertyAdapter", "propertyName=\"s\"",
                                                    "StringLiteralPropertyOrigin", "<k:value>" + value + "</k:value>"));
}

// Starts the application on a fresh device with the self-diagnosis proxy the host builds.
class ZemAppTest : public ::testing::Test {
 protected:
  void SetUp() override { freshDevice(); }  // its default configuration is configWith("default")
  void TearDown() override {
    if (proxy_ != nullptr) zemDestroySelfDiagnosisProxy(proxy_);
  }
  void start() {
    app_ = std::make_unique<RunningApp>(RunningApp::Options{false, false});
    const std::weak_ptr<ExtensionServices> weak = app_->services();
    proxy_ = zemCreateSelfDiagnosisProxy(&weak);
  }
  int64_t call(const std::string& method, const std::string& out, Ipc::IpcParameterSet in = {}) {
    return app_->ipc().call("SelfDiag", method, in).get<Ipc::IpcIntegerParameter>(out).getValue();
  }

  std::unique_ptr<RunningApp> app_;
  void* proxy_ = nullptr;
};

// The installed configuration is replaced only when a usable schema finds it invalid: otherwise an
// invalid one is kept with one WARN. Without configuration and default, start-up logs the copy failure.
TEST_F(ZemAppTest, TheInstalledConfigurationIsReplacedOnlyWhenAUsableSchemaJudgesItInvalid) {
  const File installed(DevicePaths::installedConfigFolder() + "/config.xml"),
      schema(DevicePaths::configurationSchema());
  const std::string validSchema = readFile(schema);
  const struct {
    bool withSchema, validDefault;  // a broken schema fails the default too
    std::string text;
    bool replaced;
  } rows[] = {{false, true, "<invalid/>", false},
              {true, false, "<invalid/>", false},
              {true, true, "<invalid/>", true},
              {true, true, configWith("installed"), false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text + (row.withSchema ? " schema" : "") + (row.validDefault ? " default" : ""));
    freshDevice();
    if (!row.validDefault) writeFile(File(DevicePaths::defaultConfigFolder() + "/config.xml"), "<bad/>");
    writeFile(installed, row.text);
    if (!row.withSchema) schema.remove();
    LogCapture log;
    getApp()->installDefaultConfigIfNeeded();
    EXPECT_EQ(readFile(installed) == row.text, !row.replaced);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "the installed configuration is kept"),
              row.text == "<invalid/>" && !row.replaced ? 1u : 0u);
    if (!row.withSchema) writeFile(schema, validSchema);
  }

  installed.remove();
  File(DevicePaths::defaultConfigFolder() + "/config.xml").remove();
  LogCapture log;
  start();
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Unable to copy "));
  EXPECT_EQ(getApp()->getInitializationStatus()->getState(), 2);
}

// SetComponentLogLevel: one row per request, with the answer, the level afterwards and a line it logs.
TEST_F(ZemAppTest, SelfDiagnosisReportsTheVersionSetsTheLogLevelAndLateJobsAreDropped) {
  start();
  EXPECT_EQ(call("GetSwVersion", "minor"), 22);
  EXPECT_EQ(call("GetComponentLogLevel", "level"), 255);
  struct Row {
    std::unique_ptr<Ipc::IpcParameter> level;  // null: no parameter
    int64_t result, levelAfter;
    std::string logged;
  };
  Row rows[] = {
      {std::make_unique<Ipc::IpcIntegerParameter>("level", 6), 1, 255, "Unable to parse the enum value 6"},
      {std::make_unique<Ipc::IpcStringParameter>("level", "4"), 1, 255,
       "Parameter does not have the right type: level"},
      {nullptr, 1, 255, "Problem during reception of the SetComponentLogLevel message"},
      {std::make_unique<Ipc::IpcIntegerParameter>("level", 4), 0, 4, ""},
      // Only the low 32 bits carry the level: 2^32 + 3 is DEBUG.
      {std::make_unique<Ipc::IpcIntegerParameter>("level", (int64_t{1} << 32) + 3), 0, 3, ""},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.logged);
    LogCapture log;
    Ipc::IpcParameterSet in;
    if (row.level != nullptr) in.add(std::move(row.level));
    EXPECT_EQ(call("SetComponentLogLevel", "result", std::move(in)), row.result);
    EXPECT_EQ(call("GetComponentLogLevel", "level"), row.levelAfter);
    EXPECT_TRUE(row.logged.empty() || log.contains(log4cplus::ERROR_LOG_LEVEL, row.logged));
  }
  EXPECT_NE(readFile(File(DevicePaths::applicationDataFolder() + "/settings.xml")).find(">DEBUG<"), std::string::npos);

  // A folder in place of the settings file: the level applies, the answer says it was not kept.
  const File settingsFile(DevicePaths::applicationDataFolder() + "/settings.xml");
  settingsFile.remove();
  settingsFile.mkdirs();
  LogCapture log;
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcIntegerParameter>("level", 5));
  EXPECT_EQ(call("SetComponentLogLevel", "result", std::move(in)), 1);
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "Cannot write ZEM global configuration"));
  EXPECT_EQ(call("GetComponentLogLevel", "level"), 5);
  settingsFile.remove();

  // Once the application is shut down, a job that appears is logged and dropped.
  app_.reset();
  log.clear();
  const IpcMessage message(std::make_unique<IpcStringMessageContent>("/nowhere/job.zip"));
  EXPECT_EQ(getApp()->ipcMessageReceived(Ipc::ZemMessageDefinition("JobAppeared", {}), message), "");
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Zem App is attempting to handle requests whilst not being fully initialised!"),
            1u);
}

}  // namespace
