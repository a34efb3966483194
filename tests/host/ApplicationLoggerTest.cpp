#include "kest/ApplicationLogger.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/testing/LogCapture.h"

using kest::testing::LogCapture;
using Sarnet_Configuration::Types::LogLevelType;

namespace {

// Restores the component logger's level after a test that changes it.
class LevelRestorer {
 public:
  LevelRestorer() : saved_(ApplicationLogger::logger().getLogLevel()) {}
  ~LevelRestorer() { ApplicationLogger::logger().setLogLevel(saved_); }

 private:
  log4cplus::LogLevel saved_;
};

}  // namespace

TEST(ApplicationLoggerTest, EscapeStrRewritesControlCharactersAndKeepsEveryOtherByte) {
  EXPECT_EQ(ApplicationLogger::escapeStr("plain text"), "plain text");
  EXPECT_EQ(ApplicationLogger::escapeStr("a\nb\tc\rd"), "a\\nb\\tc\\rd");
  EXPECT_EQ(ApplicationLogger::escapeStr(std::string("x\x01y\x1Bz\x7F", 6)), "x\\x01y\\x1Bz\\x7F");
  EXPECT_EQ(ApplicationLogger::escapeStr(std::string("nul\0end", 7)), "nul\\x00end");
  // UTF-8 bytes and backslashes pass unchanged.
  EXPECT_EQ(ApplicationLogger::escapeStr("caf\xC3\xA9 C:\\dir"), "caf\xC3\xA9 C:\\dir");
  EXPECT_EQ(ApplicationLogger::escapeStr(""), "");
}

TEST(ApplicationLoggerTest, BothStylesEmitWithSourcePositionAndOnlyTheEscapedStyleEscapes) {
  LogCapture log;
  const int streamLine = __LINE__ + 1;
  ZEM_INFO("stream " << 42 << "\nsecond line");
  ZEM_LOG_ESCAPED(log4cplus::WARN_LOG_LEVEL, "escaped " << 7 << "\nsecond line");
  {
    LoggerStreamHelper helper(log4cplus::ERROR_LOG_LEVEL, "Some/Dir/Origin.cpp", 99, "void f()");
    helper.getStringStream() << "from helper";
    EXPECT_EQ(log.countAny("from helper"), 0u);  // nothing before the helper goes out of scope
  }

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 3u) << log.dump();
  EXPECT_EQ(entries[0].level, log4cplus::INFO_LOG_LEVEL);
  EXPECT_EQ(entries[0].message, "stream 42\nsecond line");
  EXPECT_NE(entries[0].file.find("ApplicationLoggerTest.cpp"), std::string::npos);
  EXPECT_EQ(entries[0].line, streamLine);
  EXPECT_NE(entries[0].function.find("BothStylesEmit"), std::string::npos) << entries[0].function;

  EXPECT_EQ(entries[1].level, log4cplus::WARN_LOG_LEVEL);
  EXPECT_EQ(entries[1].message, "escaped 7\\nsecond line");

  EXPECT_EQ(entries[2].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(entries[2].message, "from helper");
  EXPECT_EQ(entries[2].file, "Some/Dir/Origin.cpp");
  EXPECT_EQ(entries[2].line, 99);
  EXPECT_EQ(entries[2].function, "void f()");
}

TEST(ApplicationLoggerTest, SetLogLevelFiltersLowerLevelsWithoutFormattingThem) {
  LevelRestorer restore;
  LogCapture log(/*enableAllLevels=*/false);
  int formatted = 0;
  auto expensive = [&formatted] {
    ++formatted;
    return "expensive";
  };

  ApplicationLogger::setLogLevel(LogLevelType::WARNING);
  EXPECT_FALSE(ApplicationLogger::isEnabled(ApplicationLogger::logger(), log4cplus::INFO_LOG_LEVEL));
  ZEM_INFO("info " << expensive());
  ZEM_LOG_ESCAPED(log4cplus::DEBUG_LOG_LEVEL, "debug " << expensive());
  ZEM_WARN("warn passes");
  { LoggerStreamHelper(log4cplus::INFO_LOG_LEVEL, __FILE__, __LINE__, "f").getStringStream() << "direct info"; }
  EXPECT_EQ(formatted, 0);
  EXPECT_EQ(log.entries().size(), 1u) << log.dump();
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "warn passes"));

  // DEBUG comes before INFO in the schema numbering but is the more verbose level.
  ApplicationLogger::setLogLevel(LogLevelType::INFO);
  ZEM_DEBUG("debug hidden");
  ZEM_INFO("info shown");
  ApplicationLogger::setLogLevel(LogLevelType::DEBUG);
  ZEM_DEBUG("debug shown");
  ZEM_TRACE("trace hidden");
  ApplicationLogger::setLogLevel(LogLevelType::TRACE);
  ZEM_TRACE("trace shown");
  ApplicationLogger::setLogLevel(LogLevelType::FATAL);
  ZEM_ERROR("error hidden");
  ZEM_FATAL("fatal shown");
  ApplicationLogger::setLogLevel(LogLevelType::ERROR);
  ZEM_ERROR("error shown");

  EXPECT_EQ(log.countAny("hidden"), 0u) << log.dump();
  EXPECT_EQ(log.countAny("shown"), 5u) << log.dump();
}

TEST(ApplicationLoggerTest, SystemLogHoldsOneLineInTheDocumentedLayout) {
  LogCapture log;
  ZEM_INFO("layout probe 7f3a");
  std::string content;
  ASSERT_TRUE(File(DevicePaths::systemLogFile()).readAll(&content));
  const std::regex line(
      R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ZEM_APP INFO \[ApplicationLoggerTest\.cpp:\d+ [^\n]*SystemLogHolds[^\n]*\] layout probe 7f3a\n)");
  EXPECT_TRUE(std::regex_search(content, line)) << content.substr(content.size() > 2000 ? content.size() - 2000 : 0);
}
