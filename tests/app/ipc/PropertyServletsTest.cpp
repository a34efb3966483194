// The property servlets' failure lines (answers are covered through zemctl) and the start-up log level.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>

#include "RunningApp.h"
#include "app/ZemApp.h"
#include "database/Database.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/testing/LogCapture.h"

namespace {

using kest::testing::LogCapture;
using namespace apptest;

// A missing or mistyped input: two ERROR lines, no output; the two reading servlets still log their timing.
TEST(PropertyServletsTest, AMissingOrMistypedParameterIsLoggedAndAnsweredWithoutOutput) {
  RunningApp app;
  struct Row {
    const char *kind, *method, *in;
    bool stringIsRightType;
    const char *out, *logged;  // logged: the message named in the first ERROR line
    bool timed;
  };
  const Row rows[] = {
      {"Zem", "ZemPropertyRequest", "request", false, "response", "ZemPropertyRequest", true},
      {"Zem", "ZemPropertyUpdate", "request", false, "response", "ZemPropertyUpdate", false},
      {"Zem", "MonitorProperty", "property", true, "result", "ZemPropertyRequest", false},
      {"SelfDiag", "ReadStringProperty", "property", true, "value", "ReadStringProperty", true},
  };
  for (const Row& row : rows) {
    for (const bool present : {false, true}) {
      SCOPED_TRACE(std::string(row.method) + (present ? " mistyped" : " missing"));
      Ipc::IpcParameterSet in;
      if (present && row.stringIsRightType) in.add(std::make_unique<Ipc::IpcIntegerParameter>(row.in, 1));
      if (present && !row.stringIsRightType) in.add(std::make_unique<Ipc::IpcStringParameter>(row.in, "x"));
      LogCapture log;
      const Ipc::IpcParameterSet out = app.ipc().call(row.kind, row.method, in);
      EXPECT_EQ(out.find(row.out), nullptr);
      EXPECT_TRUE(
          log.contains(log4cplus::ERROR_LOG_LEVEL, std::string("Problem during reception of message ") + row.logged))
          << log.dump();
      EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL,
                               present ? "Parameter does not have the right type: " : "Parameter is missing: "));
      const std::regex timing("Property request processed: [0-9]+\\.[0-9]{6} ms");
      const auto lines = log.messages(log4cplus::TRACE_LOG_LEVEL);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return std::regex_match(l, timing); }),
                row.timed ? 1 : 0);
    }
  }
}

// Start-up applies a stored level name and ignores an empty or absent one; an unknown one is logged
// and the configured level kept, so the unit still starts.
TEST(PropertyServletsTest, StartUpAppliesTheStoredLogLevelAndKeepsTheConfiguredOneForAnUnknownText) {
  const log4cplus::LogLevel saved = ApplicationLogger::logger().getLogLevel();
  struct Row {
    std::string stored;  // "" also stands for an absent level: both read as empty
    log4cplus::LogLevel level;
    std::string error;  // the ERROR line expected, or ""
  };
  const Row rows[] = {
      {"", log4cplus::WARN_LOG_LEVEL, ""},
      {"TRACE", log4cplus::TRACE_LOG_LEVEL, ""},
      {"debug", log4cplus::WARN_LOG_LEVEL, "Unknown log level 'debug' in ZEM.LOGLEVEL: the configured level is kept"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    freshDevice();
    writeFile(
        File(DevicePaths::defaultConfigFolder() + "/config.xml"),
        document("ProvisioningConfig", propertyXml("StringPropertyAdapter", "propertyName=\"ZEM.LOGLEVEL\"",
                                                   "PersistedStringPropertyOrigin", "<k:key>ZEM.LOGLEVEL</k:key>")));
    writeFile(File(DevicePaths::defaultConfigFolder() + "/database.xml"),
              databaseXml(entryXml("ZEM", mapXml(entryXml("LOGLEVEL", valueXml("String", row.stored))))));
    ApplicationLogger::logger().setLogLevel(log4cplus::WARN_LOG_LEVEL);
    const LogCapture log(false);  // records at the logger's own level, which the start-up sets
    {
      RunningApp app(RunningApp::Options{false, false});
      EXPECT_EQ(getApp()->getInitializationStatus()->getState(), 2);
      EXPECT_EQ(ApplicationLogger::logger().getLogLevel(), row.level);
    }
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Unknown log level"), row.error.empty() ? 0u : 1u) << log.dump();
    if (!row.error.empty()) {
      EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << log.dump();
    }
  }
  ApplicationLogger::logger().setLogLevel(saved);
}

}  // namespace
