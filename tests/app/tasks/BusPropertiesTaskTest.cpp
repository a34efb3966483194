// The bus-properties update job on a started application: the properties are written first, and
// only then the bus monitoring service's status decides outcome, log and error fields.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "PropertyTestSupport.h"
#include "kest/BusMonitoringService.h"
#include "kest/DevicePaths.h"

namespace {

using namespace apptest;
using kest::testing::LogCapture;
using proptest::named;

const std::string kConfig = document(
    "ProvisioningConfig", groupXml("BUS", {"X"},
                                   named("Integer", "rate", "PersistedInteger", "<k:key>BUS.rate</k:key>") +
                                       named("Integer", "Bitrate", "PersistedInteger", "<k:key>BUS.Bitrate</k:key>")));

const char* const kResult = "UpdateBusPropertiesZemTaskResult";

class BusPropertiesTaskTest : public ::testing::Test {
 protected:
  BusPropertiesTaskTest() {
    // No restart of its own: the status is forced by each case.
    app_->services()->setBusMonitoringService(bus_);
  }
  ResultPackage update(const std::string& id, const std::string& entries) {
    return proptest::runPropertiesJob(*app_, "UpdateBusPropertiesZemTaskDescription", id, entries);
  }

  std::shared_ptr<BusMonitoringService> bus_ =
      std::make_shared<BusMonitoringService>(BusMonitoringService::RestartSources(), nullptr);
  std::unique_ptr<RunningApp> app_ = proptest::startWithDefaultConfig(kConfig);
};

// The status decides; a unit without bus monitoring service (no status) counts as not supported.
TEST_F(BusPropertiesTaskTest, TheApplyStatusDecidesOutcomeLogAndError) {
  struct Row {
    std::optional<int> status;
    bool success;
    log4cplus::LogLevel level;
    std::string line, errorMessage;  // errorMessage "": no error fields
  };
  const std::string unknown = "Bus configuration not applied - unknown error occurred";
  const std::string unsupported = "Bus configuration feature not supported by the current platform";
  const Row rows[] = {
      {0, true, log4cplus::DEBUG_LOG_LEVEL, "Bus configuration applied correctly", ""},
      {-1, true, log4cplus::WARN_LOG_LEVEL, unsupported, ""},
      {255, false, log4cplus::ERROR_LOG_LEVEL, unknown, unknown},
      {3, true, log4cplus::ERROR_LOG_LEVEL, "Bus configuration not applied - unsupported error", ""},
      {std::nullopt, true, log4cplus::WARN_LOG_LEVEL, unsupported, ""},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status.value_or(-99));
    if (row.status) bus_->forceStatus(*row.status);
    if (!row.status) app_->services()->setBusMonitoringService(nullptr);
    LogCapture log;
    const std::string rate = std::to_string(100 + n);
    proptest::expectErrorInfo(update("b" + std::to_string(n++), entryXml("BUS.rate", valueXml("Integer", rate))),
                              kResult, row.success, row.errorMessage.empty() ? 0 : 7, row.errorMessage);
    EXPECT_EQ(log.count(row.level, row.line), 1U) << log.dump();
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("BUS.rate"), rate);  // written whatever the status
  }
  EXPECT_EQ(bus_->applyCalls(), 4U);
}

TEST_F(BusPropertiesTaskTest, ABitrateTheBusDoesNotSupportRefusesTheWholeJobBeforeAnythingIsWritten) {
  bus_->forceStatus(0);
  ASSERT_TRUE(succeeded(update(
      "ok", entryXml("BUS.rate", valueXml("Integer", "1")) + entryXml("BUS.Bitrate", valueXml("Integer", "500000")))));
  EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("BUS.Bitrate"), "500000");
  const std::size_t appliedBefore = bus_->applyCalls();
  const struct {
    const char* key;
    std::string value;
  } refused[] = {{"BUS.Bitrate", valueXml("Integer", "123456")},
                 {"BUS.Bitrate", valueXml("Integer", "-1")},
                 {"BUS.Bitrate", valueXml("String", "fast")},
                 {"BUS.DATA_BITRATE", valueXml("String", "3000000")}};
  int n = 0;
  for (const auto& row : refused) {
    SCOPED_TRACE(row.value);
    proptest::expectErrorInfo(update("r" + std::to_string(n++),
                                     entryXml("BUS.rate", valueXml("Integer", "2")) + entryXml(row.key, row.value)),
                              kResult, false, 7, std::string("Impossible to update property ") + row.key);
    // Nothing of the job is written, not even the entry before the bitrate, and nothing is applied.
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("BUS.rate"), "1");
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("BUS.Bitrate"), "500000");
  }
  EXPECT_EQ(bus_->applyCalls(), appliedBefore);
}

}  // namespace
