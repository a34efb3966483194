// LogFilter and LogCollector: selecting system-log entries by component, minimum level and start
// time, continuation lines following their entry.
#include "kest/LogFilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "ZemTestSupport.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/LogCollector.h"
#include "kest/TempFile.h"

namespace {

using zem_test::readFile;
using zem_test::run;
using zem_test::writeFile;

// Entries in the layout the component loggers write, plus the lines around them that the filter
// must classify: a continuation line and a foreign preamble. Lines 0-2 are the older file's.
const char* const kLines[] = {"kernel: booting\n",
                              "2024-03-01 10:00:00.000 ZEM_APP DEBUG [A.cpp:1 void a()] older debug\n",
                              "2024-03-01 10:00:01.500 OTHER_APP ERROR [B.cpp:2 void b()] other error\n",
                              "2024-03-01 10:00:02.000 ZEM_APP ERROR [C.cpp:3 void c()] zem error\n",
                              "second line of zem error\n",
                              "2024-03-01 10:00:03.000 ZEM_APP TRACE [D.cpp:4 void d()] zem trace\n",
                              "2024-03-01 10:00:04.000 ZEM_APP WARN [E.cpp:5 void e()] zem warn\n",
                              "2024-03-01 10:00:05.000 OTHER_APP INFO [F.cpp:6 void f()] other info\n"};

// The lines `numbers` of kLines, joined.
std::string lines(std::initializer_list<int> numbers) {
  std::string out;
  for (const int n : numbers) out += kLines[n];
  return out;
}

}  // namespace

TEST(LogFilterTest, SelectsEntriesByComponentLevelAndTimeWithTheirContinuationLines) {
  const TempFile tmp;
  const File older(tmp.getFile(), "messages.1"), current(tmp.getFile(), "messages"), target(tmp.getFile(), "out.txt");
  ASSERT_TRUE(older.writeAtomically(lines({0, 1, 2})) && current.writeAtomically(lines({3, 4, 5, 6, 7})));
  const struct {
    std::set<std::string> components;
    const char* level;
    std::chrono::system_clock::time_point from;
    std::string expected;
  } cases[] = {
      {{}, "TRACE", {}, lines({0, 1, 2, 3, 4, 5, 6, 7})},
      {{"ZEM_APP"}, "TRACE", {}, lines({1, 3, 4, 5, 6})},
      {{"ZEM_APP"}, "warning", {}, lines({3, 4, 6})},
      {{"ZEM_APP", "OTHER_APP"}, "ERROR", {}, lines({2, 3, 4})},
      // From 2024-03-01 10:00:02 UTC; the preamble is no entry: kept.
      {{}, "TRACE", std::chrono::system_clock::from_time_t(1709287202), lines({0, 3, 4, 5, 6, 7})},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(LogFilter::filter({older.getPath(), current.getPath(), "/nonexistent/messages.2"}, target.getPath(),
                                  c.components, c.level, c.from));
    std::string out;
    EXPECT_TRUE(target.readAll(&out));
    EXPECT_EQ(out, c.expected) << c.level;
  }
  // An unknown level or an unwritable target fails and leaves the target as it was.
  EXPECT_FALSE(LogFilter::filter({current.getPath()}, target.getPath(), {}, "LOUD", {}));
  EXPECT_FALSE(LogFilter::filter({current.getPath()}, File(current, "sub").getPath(), {}, "TRACE", {}));
  std::string out;
  ASSERT_TRUE(target.readAll(&out));
  EXPECT_EQ(out, lines({0, 3, 4, 5, 6, 7}));
}

// The backup reads what rotation left, oldest first (".N.gz" files made by the gzip tool, a
// plain ".1"), then the current file, where the component logger and another process of another
// component append; the collector gathers it all.
TEST(LogFilterTest, BackupReadsRotatedAndCompressedPredecessorsAndWhatTheComponentLoggerWrote) {
  ZEM_DEBUG("collector probe debug 91c2");
  const File current(DevicePaths::systemLogFile());
  const File folder = current.getParentFile();
  const auto line = [](int n, const std::string& text) {
    return "2024-03-01 10:00:0" + std::to_string(n) + ".000 OTHER_APP INFO [X.cpp:1 void x()] " + text + "\n";
  };
  const std::string longText(100 * 1024, 'L');  // longer than one read segment
  writeFile(File(folder, "messages.3"), line(1, "from three") + "continued three\n");
  writeFile(File(folder, "messages.2"), line(2, "from two"));
  ASSERT_EQ(run("gzip -f " + File(folder, "messages.3").getPath() + " " + File(folder, "messages.2").getPath()), 0);
  writeFile(File(folder, "messages.1"),
            line(3, longText) + "2024-03-01 10:00:04.000 ZEM_APP INFO [Y.cpp:2 void y()] own\n");
  writeFile(File(folder, "messages.bak"), line(9, "not a rotation"));
  ASSERT_EQ(run("printf '%s' '" + line(5, "from the other process") + "' >> " + current.getPath()), 0);

  const TempFile tmp;
  const File out(tmp.getFile(), "other.txt");
  ASSERT_TRUE(LogFilter::backupSysLog(out.getPath(), {"OTHER_APP"}, "TRACE", {}));
  EXPECT_EQ(readFile(out), line(1, "from three") + "continued three\n" + line(2, "from two") + line(3, longText) +
                               line(5, "from the other process"));
  const File everything(tmp.getFile(), "all.txt");
  ASSERT_TRUE(LogCollector({}, nullptr).collect(everything.getPath(), {}, "TRACE"));
  EXPECT_NE(readFile(everything).find("collector probe debug 91c2"), std::string::npos);
  for (const char* name : {"messages.3.gz", "messages.2.gz", "messages.1", "messages.bak"}) File(folder, name).remove();
}
