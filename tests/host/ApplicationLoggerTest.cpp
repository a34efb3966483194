// ApplicationLogger and its one helper: every event one bounded line, levels, the system log layout.
#include "kest/ApplicationLogger.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>

#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/testing/LogCapture.h"

using kest::testing::LogCapture;
using Sarnet_Configuration::Types::LogLevelType;

TEST(ApplicationLoggerTest, SanitiseEscapesControlsAndCutsWithoutSplittingACharacter) {
  const size_t all = std::string::npos;
  const std::tuple<std::string, size_t, std::string> cases[] = {
      // text, max, expected
      {"plain C:\\dir caf\xC3\xA9", all, "plain C:\\dir caf\xC3\xA9"},
      {"a\nb\tc\rd", all, "a\\nb\\tc\\rd"},
      {std::string("nul\0x\x1B\x7F", 7), all, "nul\\x00x\\x1B\\x7F"},
      {"c1\xC2\x85 ls\xE2\x80\xA8 ps\xE2\x80\xA9", all, "c1\\u0085 ls\\u2028 ps\\u2029"},
      {"abc", 2, "ab...[truncated 1 bytes]"},
      {"a\nb", 2, "a...[truncated 2 bytes]"},        // never half an escape
      {"a\xC3\xA9z", 2, "a...[truncated 3 bytes]"},  // never half a UTF-8 sequence
  };
  for (const auto& [text, max, expected] : cases) EXPECT_EQ(ApplicationLogger::sanitise(text, max), expected) << text;
}

// Hostile names and a 20 MB "jobLocation" through both styles: every event stays one line that
// forges nothing, and no event carries more than the bound.
TEST(ApplicationLoggerTest, BothStylesEmitOneBoundedLinePerEventWithSourcePosition) {
  LogCapture log;
  const std::string forged = "task.xml\n2026-01-01 00:00:00.000 ZEM_APP FATAL [x.cpp:1 f()] forged\r\x1B[2J";
  const std::string huge(20 * 1024 * 1024, 'j');
  const int streamLine = __LINE__ + 1;
  ZEM_INFO("entry " << forged);
  ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, "entry " << forged);
  ZEM_ERROR("jobLocation " << huge);
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 3u) << log.dump();
  const std::string safe = "entry task.xml\\n2026-01-01 00:00:00.000 ZEM_APP FATAL [x.cpp:1 f()] forged\\r\\x1B[2J";
  EXPECT_EQ(entries[0].message, safe);
  EXPECT_EQ(entries[1].message, safe);
  const std::string cut = "...[truncated " + std::to_string(huge.size() + 12 - 1024) + " bytes]";
  EXPECT_EQ(entries[2].message, "jobLocation " + huge.substr(0, 1024 - 12) + cut);

  // The system log holds each event on one line in the documented layout.
  std::string content;
  ASSERT_TRUE(File(DevicePaths::systemLogFile()).readAll(&content));
  const std::regex layout(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ZEM_APP INFO \[ApplicationLoggerTest\.cpp:)" +
                          std::to_string(streamLine) + R"( [^\n]*BothStylesEmit[^\n]*\] entry task\.xml\\n2026)");
  EXPECT_TRUE(std::regex_search(content, layout)) << content.substr(content.size() > 2000 ? content.size() - 2000 : 0);
  EXPECT_EQ(content.find("\n2026-01-01 00:00:00.000 ZEM_APP FATAL"), std::string::npos);
  EXPECT_EQ(content.find(std::string(2048, 'j')), std::string::npos) << "the 20 MB text reached the system log";
}

TEST(ApplicationLoggerTest, SetLogLevelFiltersLowerLevelsWithoutFormattingThem) {
  const log4cplus::LogLevel saved = ApplicationLogger::logger().getLogLevel();
  LogCapture log(/*enableAllLevels=*/false);
  int formatted = 0;
  auto expensive = [&formatted] { return ++formatted; };
  ApplicationLogger::setLogLevel(LogLevelType::WARNING);
  ZEM_INFO("info " << expensive());
  ZEM_LOG_ESCAPED(log4cplus::DEBUG_LOG_LEVEL, "debug " << expensive());
  EXPECT_EQ(formatted, 0);
  EXPECT_EQ(log.entries().size(), 0u) << log.dump();
  // Each schema level lets its own level through and hides the next more verbose one (DEBUG comes
  // before INFO in the schema numbering but is the more verbose level).
  const std::tuple<LogLevelType::Enum, log4cplus::LogLevel, log4cplus::LogLevel> cases[] = {
      {LogLevelType::FATAL, log4cplus::FATAL_LOG_LEVEL, log4cplus::ERROR_LOG_LEVEL},
      {LogLevelType::ERROR, log4cplus::ERROR_LOG_LEVEL, log4cplus::WARN_LOG_LEVEL},
      {LogLevelType::INFO, log4cplus::INFO_LOG_LEVEL, log4cplus::DEBUG_LOG_LEVEL},
      {LogLevelType::DEBUG, log4cplus::DEBUG_LOG_LEVEL, log4cplus::TRACE_LOG_LEVEL},
      {LogLevelType::TRACE, log4cplus::TRACE_LOG_LEVEL, log4cplus::TRACE_LOG_LEVEL}};
  for (const auto& [level, shown, hidden] : cases) {
    ApplicationLogger::setLogLevel(level);
    if (hidden != shown) ZEM_LOG(hidden, "hidden");
    ZEM_LOG(shown, "shown");
  }
  EXPECT_EQ(log.countAny("hidden"), 0u) << log.dump();
  EXPECT_EQ(log.countAny("shown"), 5u) << log.dump();
  ApplicationLogger::logger().setLogLevel(saved);
}
