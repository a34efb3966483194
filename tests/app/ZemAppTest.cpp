// The application object's start-up and shut-down, and the servlets it serves, driven through the
// in-process IPC service on the test sysroot.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "AppTestEnvironment.h"
#include "ZemApp.h"
#include "ZemTaskExecutionQueue.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/ZemSettings.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

namespace {

using kest::testing::LogCapture;

using Ipc::IpcIntegerParameter;
using Ipc::IpcParameterSet;

const char* const kValidConfig =
    "<?xml version=\"1.0\"?>\n"
    "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<k:content xsi:type=\"k:ProvisioningConfig\">"
    "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\">"
    "<k:origin xsi:type=\"k:StringLiteralPropertyOrigin\"><k:value>%VALUE%</k:value></k:origin>"
    "</k:provisioningDefinitions></k:content></k:config>\n";

std::string configWith(const std::string& value) {
  std::string text = kValidConfig;
  text.replace(text.find("%VALUE%"), 7, value);
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeFile(const std::string& path, const std::string& content) {
  File(path).getParentFile().mkdirs();
  std::ofstream(path) << content;
}

int64_t integerOut(const IpcParameterSet& out, const std::string& name) {
  return out.get<IpcIntegerParameter>(name).getValue();
}

IpcParameterSet levelRequest(int64_t level) {
  IpcParameterSet in;
  in.add(std::make_unique<IpcIntegerParameter>("level", level));
  return in;
}

// Starts the application on a fresh application data folder and stops it at the end.
class ZemAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    File(DevicePaths::dataFolder()).remove();
    File(DevicePaths::configurationFolder()).remove();
    writeFile(DevicePaths::defaultConfigFolder() + "/config.xml", configWith("default"));
    ipc_ = std::make_shared<Ipc::InProcessIpcService>();
    services_ = std::make_shared<ExtensionServices>();
    services_->setIpcService(ipc_);
    settings_ = std::make_shared<ZemSettings>();
  }

  void TearDown() override {
    proxy_.reset();
    if (started_) getApp()->shutdown();
  }

  void start() {
    getApp()->initialise(settings_, services_);
    started_ = true;
    proxy_ = std::make_unique<ZemSelfDiagnosisProxyHolder>(services_);
  }

  // Owns the opaque self-diagnosis proxy the way the host does.
  struct ZemSelfDiagnosisProxyHolder {
    explicit ZemSelfDiagnosisProxyHolder(const std::shared_ptr<ExtensionServices>& services) {
      const std::weak_ptr<ExtensionServices> weak = services;
      proxy = zemCreateSelfDiagnosisProxy(&weak);
    }
    ~ZemSelfDiagnosisProxyHolder() { zemDestroySelfDiagnosisProxy(proxy); }
    void* proxy;
  };

  std::shared_ptr<Ipc::InProcessIpcService> ipc_;
  std::shared_ptr<ExtensionServices> services_;
  std::shared_ptr<ZemSettings> settings_;
  std::unique_ptr<ZemSelfDiagnosisProxyHolder> proxy_;
  bool started_ = false;
};

TEST_F(ZemAppTest, GetAppReturnsOneObjectAndInitialiseMakesItReady) {
  EXPECT_EQ(getApp(), getApp());
  EXPECT_EQ(static_cast<Application*>(getApp()), zemGetApplication());
  start();

  EXPECT_EQ(getApp()->getInitializationStatus()->getState(), 2);
  EXPECT_EQ(integerOut(ipc_->call("Zem", "Ping", {}), "status"), 2);
  EXPECT_TRUE(File(DevicePaths::inboxFolder()).isDirectory());
  EXPECT_TRUE(File(DevicePaths::outboxFolder()).isDirectory());
  EXPECT_TRUE(File(DevicePaths::certificateFolder()).isDirectory());
  ASSERT_FALSE(getApp()->getTaskQueue().expired());
  EXPECT_EQ(getApp()->getTaskQueue().lock()->getStoragePath(), DevicePaths::applicationDataFolder() + "/QUEUE");
  EXPECT_EQ(getApp()->getGlobalSettings(), settings_.get());
}

TEST_F(ZemAppTest, MissingConfigurationIsInstalledFromTheDefault) {
  start();
  EXPECT_EQ(readFile(DevicePaths::installedConfigFolder() + "/config.xml"), configWith("default"));
}

TEST_F(ZemAppTest, InvalidConfigurationIsReplacedAndValidOneKept) {
  const std::string installed = DevicePaths::installedConfigFolder() + "/config.xml";
  writeFile(installed, "<config>not a provisioning configuration</config>");
  {
    LogCapture log;
    getApp()->installDefaultConfigIfNeeded();
    EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL,
                             "Current configuration is invalid and will be replaced with the default one: "));
  }
  EXPECT_EQ(readFile(installed), configWith("default"));

  writeFile(installed, configWith("installed"));
  getApp()->installDefaultConfigIfNeeded();
  EXPECT_EQ(readFile(installed), configWith("installed"));
}

TEST_F(ZemAppTest, MissingDefaultConfigurationIsLoggedAndStartUpGoesOn) {
  File(DevicePaths::defaultConfigFolder() + "/config.xml").remove();
  LogCapture log;
  start();
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Unable to copy "));
  EXPECT_EQ(getApp()->getInitializationStatus()->getState(), 2);
}

TEST_F(ZemAppTest, JobAppearedWithoutQueueIsLoggedAndDropped) {
  start();
  getApp()->shutdown();
  started_ = false;
  LogCapture log;
  const IpcMessage message(std::make_unique<IpcStringMessageContent>("/nowhere/job.zip"));
  Ipc::ZemMessageDefinition jobAppeared("JobAppeared", {});
  EXPECT_EQ(getApp()->ipcMessageReceived(jobAppeared, message), "");
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Zem App is attempting to handle requests whilst not being fully initialised!"),
            1u);
}

TEST_F(ZemAppTest, SelfDiagnosisReportsVersionAndRoundTripsTheLogLevel) {
  start();
  const IpcParameterSet version = ipc_->call("SelfDiag", "GetSwVersion", {});
  EXPECT_EQ(integerOut(version, "major"), 19);
  EXPECT_EQ(integerOut(version, "minor"), 22);
  EXPECT_EQ(integerOut(version, "patch"), 3);

  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "GetComponentLogLevel", {}), "level"), 255);
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", levelRequest(4)), "result"), 0);
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "GetComponentLogLevel", {}), "level"), 4);
  EXPECT_NE(readFile(DevicePaths::applicationDataFolder() + "/settings.xml").find(">INFO<"), std::string::npos);

  // Only the low 32 bits carry the level: 2^32 + 3 is DEBUG.
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", levelRequest((int64_t{1} << 32) + 3)), "result"),
            0);
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "GetComponentLogLevel", {}), "level"), 3);
}

TEST_F(ZemAppTest, SetComponentLogLevelRefusesBadInput) {
  start();
  {
    LogCapture log;
    EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", levelRequest(6)), "result"), 1);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Impossible to set ZEM ComponentLogLevel"));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Unable to parse the enum value 6"));
  }
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "GetComponentLogLevel", {}), "level"), 255);
  {
    LogCapture log;
    IpcParameterSet wrongType;
    wrongType.add(std::make_unique<Ipc::IpcStringParameter>("level", "4"));
    EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", wrongType), "result"), 1);
    EXPECT_TRUE(
        log.contains(log4cplus::ERROR_LOG_LEVEL, "Problem during reception of the SetComponentLogLevel message"));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: level"));
  }
  {
    LogCapture log;
    EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", {}), "result"), 1);
  }
}

TEST_F(ZemAppTest, UnwritableSettingsStillApplyTheLevelButAnswerOne) {
  start();
  // A folder in place of the settings file makes every write fail.
  const File settingsFile(DevicePaths::applicationDataFolder() + "/settings.xml");
  settingsFile.remove();
  settingsFile.mkdirs();
  LogCapture log;
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "SetComponentLogLevel", levelRequest(5)), "result"), 1);
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "Cannot write ZEM global configuration"));
  EXPECT_EQ(integerOut(ipc_->call("SelfDiag", "GetComponentLogLevel", {}), "level"), 5);
  settingsFile.remove();
}

}  // namespace
