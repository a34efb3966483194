#include "kest/LogFilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "kest/ApplicationLogger.h"
#include "kest/LogCollector.h"
#include "kest/TempFile.h"

namespace {

// Entries in the layout the component loggers write, plus the lines around them that the filter
// must classify: a continuation line and a foreign preamble.
const char* const kOlderLog =
    "kernel: booting\n"
    "2024-03-01 10:00:00.000 ZEM_APP DEBUG [A.cpp:1 void a()] older debug\n"
    "2024-03-01 10:00:01.500 OTHER_APP ERROR [B.cpp:2 void b()] other error\n";
const char* const kCurrentLog =
    "2024-03-01 10:00:02.000 ZEM_APP ERROR [C.cpp:3 void c()] zem error\n"
    "second line of zem error\n"
    "2024-03-01 10:00:03.000 ZEM_APP TRACE [D.cpp:4 void d()] zem trace\n"
    "2024-03-01 10:00:04.000 ZEM_APP WARN [E.cpp:5 void e()] zem warn\n"
    "2024-03-01 10:00:05.000 OTHER_APP INFO [F.cpp:6 void f()] other info\n";

std::chrono::system_clock::time_point utc(int hour, int minute, int second) {
  // 2024-03-01T00:00:00Z
  const std::chrono::system_clock::time_point midnight = std::chrono::system_clock::from_time_t(1709251200);
  return midnight + std::chrono::hours(hour) + std::chrono::minutes(minute) + std::chrono::seconds(second);
}

class LogFilterTest : public ::testing::Test {
 protected:
  LogFilterTest()
      : older_(tmp_.getFile(), "messages.1"), current_(tmp_.getFile(), "messages"), target_(tmp_.getFile(), "out.txt") {
    EXPECT_TRUE(older_.writeAtomically(kOlderLog));
    EXPECT_TRUE(current_.writeAtomically(kCurrentLog));
  }
  std::string run(const std::set<std::string>& components, const std::string& level,
                  std::chrono::system_clock::time_point from = {}) {
    EXPECT_TRUE(LogFilter::filter({older_.getPath(), current_.getPath(), "/nonexistent/messages.2"}, target_.getPath(),
                                  components, level, from));
    std::string out;
    EXPECT_TRUE(target_.readAll(&out));
    return out;
  }

  TempFile tmp_;
  File older_;
  File current_;
  File target_;
};

}  // namespace

TEST_F(LogFilterTest, WithoutFiltersEverythingIsCopiedInSourceOrder) {
  EXPECT_EQ(run({}, "TRACE"), std::string(kOlderLog) + kCurrentLog);
}

TEST_F(LogFilterTest, ComponentAndMinimumLevelSelectEntriesWithTheirContinuationLines) {
  EXPECT_EQ(run({"ZEM_APP"}, "TRACE"),
            "2024-03-01 10:00:00.000 ZEM_APP DEBUG [A.cpp:1 void a()] older debug\n"
            "2024-03-01 10:00:02.000 ZEM_APP ERROR [C.cpp:3 void c()] zem error\n"
            "second line of zem error\n"
            "2024-03-01 10:00:03.000 ZEM_APP TRACE [D.cpp:4 void d()] zem trace\n"
            "2024-03-01 10:00:04.000 ZEM_APP WARN [E.cpp:5 void e()] zem warn\n");
  EXPECT_EQ(run({"ZEM_APP"}, "warning"),
            "2024-03-01 10:00:02.000 ZEM_APP ERROR [C.cpp:3 void c()] zem error\n"
            "second line of zem error\n"
            "2024-03-01 10:00:04.000 ZEM_APP WARN [E.cpp:5 void e()] zem warn\n");
  EXPECT_EQ(run({"ZEM_APP", "OTHER_APP"}, "ERROR"),
            "2024-03-01 10:00:01.500 OTHER_APP ERROR [B.cpp:2 void b()] other error\n"
            "2024-03-01 10:00:02.000 ZEM_APP ERROR [C.cpp:3 void c()] zem error\n"
            "second line of zem error\n");
  EXPECT_EQ(run({"NOBODY"}, "TRACE"), "");
}

TEST_F(LogFilterTest, EntriesBeforeTheStartTimeAreLeftOut) {
  const std::string out = run({}, "TRACE", utc(10, 0, 2));
  EXPECT_EQ(out.find("older debug"), std::string::npos);
  EXPECT_EQ(out.find("other error"), std::string::npos);  // 10:00:01.500
  EXPECT_EQ(out.find("kernel: booting"), 0u);             // not an entry: kept without component filter
  EXPECT_NE(out.find("zem error\nsecond line"), std::string::npos);
  EXPECT_NE(out.find("other info"), std::string::npos);
}

TEST_F(LogFilterTest, UnknownLevelOrUnwritableTargetFailsAndLeavesTargetUntouched) {
  ASSERT_TRUE(target_.writeAtomically("previous"));
  EXPECT_FALSE(LogFilter::filter({current_.getPath()}, target_.getPath(), {}, "LOUD", {}));
  std::string out;
  ASSERT_TRUE(target_.readAll(&out));
  EXPECT_EQ(out, "previous");
  EXPECT_FALSE(LogFilter::filter({current_.getPath()}, File(current_, "sub").getPath(), {}, "TRACE", {}));
}

TEST(LogCollectorTest, SystemLogBackupHoldsWhatTheComponentLoggerWrote) {
  TempFile tmp;
  const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
  ZEM_ERROR("collector probe error 91c2");
  ZEM_DEBUG("collector probe debug 91c2");

  const File errorsOnly(tmp.getFile(), "errors.txt");
  ASSERT_TRUE(LogFilter::backupSysLog(errorsOnly.getPath(), {"ZEM_APP"}, "ERROR", before));
  std::string out;
  ASSERT_TRUE(errorsOnly.readAll(&out));
  EXPECT_NE(out.find("ZEM_APP ERROR"), std::string::npos) << out;
  EXPECT_NE(out.find("collector probe error 91c2"), std::string::npos) << out;
  EXPECT_EQ(out.find("collector probe debug 91c2"), std::string::npos) << out;

  const LogCollector collector({}, nullptr);
  const File everything(tmp.getFile(), "all.txt");
  ASSERT_TRUE(collector.collect(everything.getPath(), {}, "TRACE"));
  ASSERT_TRUE(everything.readAll(&out));
  EXPECT_NE(out.find("collector probe debug 91c2"), std::string::npos);
  EXPECT_FALSE(collector.collect(File(everything, "x").getPath(), {}, "TRACE"));
}
