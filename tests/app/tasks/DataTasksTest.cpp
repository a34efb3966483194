// The data install and request tasks and the log-files task on a started application: containers
// run through "JobAppeared" and the queue, and the result packages are read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "app/ZemApp.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TrustBoundaries.h"
#include "kest/testing/LogCapture.h"

namespace {

using kest::testing::LogCapture;
using namespace apptest;

File dataFolder() { return File(DevicePaths::applicationDataFolder()); }
File settingsFile() { return File(dataFolder(), "settings.xml"); }
std::string settingsXml(int history, const std::string& level = "") {
  return document("ZemGlobalSettings",
                  "<k:maximumDataSize>102400</k:maximumDataSize><k:replayHistorySize>" + std::to_string(history) +
                      "</k:replayHistorySize>" +
                      (level.empty() ? "" : "<k:componentLogLevel>" + level + "</k:componentLogLevel>"));
}
const auto* errorInfo(const ResultPackage& package) { return package.result->element_errorInfo(); }

class DataTasksTest : public ::testing::Test {
 protected:
  unsigned history() const { return getApp()->getTaskQueue().lock()->getReplayHistorySize(); }
  RunningApp app_;
};

// Each install in turn on one unit: the outcome, the replay history and level that follow, and
// what the settings file holds afterwards.
TEST_F(DataTasksTest, InstallAppliesEachValidSettingsFileInOrderAndRefusesAnInvalidOneWhole) {
  const char* const kInstall = "InstallZemDataTaskDescription";
  const std::string refused = "Impossible to install ZEM data: ";
  struct Row {
    std::string name;
    std::vector<std::pair<std::string, Entry>> payload;
    bool success;
    unsigned history;           // replay history size afterwards
    log4cplus::LogLevel level;  // logger level afterwards (NOT_SET_LOG_LEVEL: not checked)
    std::string log;            // a line logged (DEBUG on success, ERROR on failure)
  };
  const auto settings = [](const std::string& file, const std::string& xml) {
    return std::pair<std::string, Entry>("ZEM_GLOBAL_SETTINGS", {file, xml});
  };
  const log4cplus::LogLevel any = log4cplus::NOT_SET_LOG_LEVEL, info = log4cplus::INFO_LOG_LEVEL;
  const std::string ignored = "Ignoring not supported file type: db.xml [ZEM_DATABASE]";
  const Row rows[] = {
      // An unknown entry type is refused at intake.
      {"other.zip", {{"ZEM_DATABASE", {"db.xml", "x"}}}, true, 10, any, ignored},
      {"one.zip", {settings("s.xml", settingsXml(7, "DEBUG"))}, true, 7, log4cplus::DEBUG_LOG_LEVEL, ""},
      // The first file's level stays: the configuration was reloaded after it, before the second.
      {"two.zip", {settings("a.xml", settingsXml(3, "INFO")), settings("b", settingsXml(5))}, true, 5, info, ""},
      {"invalid.zip", {settings("s.xml", settingsXml(-1))}, false, 5, any, refused},
      {"wrong-kind.zip", {settings("s.xml", databaseXml(""))}, false, 5, any, refused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string before = readFile(settingsFile());
    LogCapture log;
    const auto package = app_.runJob(makeJob(inboxFile(row.name), description(kInstall, row.name), row.payload));
    EXPECT_EQ(succeeded(package), row.success);
    EXPECT_EQ(package.result->typeName(), "InstallZemDataTaskResult");
    EXPECT_EQ(history(), row.history);
    if (row.level != log4cplus::NOT_SET_LOG_LEVEL) {
      EXPECT_EQ(ApplicationLogger::logger().getLogLevel(), row.level);
    }
    if (row.success) {
      EXPECT_TRUE(row.log.empty() || log.contains(log4cplus::DEBUG_LOG_LEVEL, row.log));
      if (row.history != 10) {
        EXPECT_EQ(readFile(settingsFile()), row.payload.back().second.content);
      }
    } else {
      EXPECT_EQ(errorInfo(package)->get_errorType(), 4);
      EXPECT_EQ(errorInfo(package)->get_errorMessage().rfind(refused, 0), 0u) << errorInfo(package)->get_errorMessage();
      EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, refused));
      EXPECT_EQ(readFile(settingsFile()), before);  // nothing half-installed
      for (const std::string& name : names(dataFolder())) EXPECT_EQ(name.find("settings.xml.tmp"), std::string::npos);
    }
  }
}

TEST_F(DataTasksTest, RequestSendsTheZemLogExtractAndTheSettingsAndReportsAFileItCannotAdd) {
  ZEM_INFO("data request probe 5e1d");
  const auto request = [&](const std::string& id, const std::vector<std::string>& types) {
    std::string body;
    for (const std::string& type : types) body += "<k:dataType>" + type + "</k:dataType>";
    return app_.runJob(
        makeJob(inboxFile(id + ".zip"), document("RequestZemDataTaskDescription", body, "taskId=\"" + id + "\"")));
  };
  const auto sent = request("req", {"ZEM_EVENT_LOG", "BOGUS", "ZEM_GLOBAL_SETTINGS"});
  EXPECT_TRUE(succeeded(sent));
  EXPECT_NE(sent.entries.at("LOGS/zemlog.txt").find("data request probe 5e1d"), std::string::npos);
  EXPECT_EQ(sent.entries.at("settings.xml"), readFile(settingsFile()));
  EXPECT_FALSE(File(dataFolder(), "LOGS/zemlog.txt").exists());

  // A settings "file" that is a folder cannot be added: code 7, the package still goes out. A
  // missing one has nothing to send, like an empty one: no entry, no failure.
  const std::string saved = readFile(settingsFile()), compressing = "Error while compressing file settings.xml";
  ASSERT_TRUE(settingsFile().remove() && settingsFile().mkdirs());
  for (const bool folder : {true, false}) {
    SCOPED_TRACE(folder);
    LogCapture log;
    const auto answered = request(folder ? "req2" : "req3", {"ZEM_GLOBAL_SETTINGS"});
    EXPECT_EQ(succeeded(answered), !folder);
    EXPECT_EQ(errorInfo(answered)->get_errorType(), folder ? 7 : 0);
    EXPECT_EQ(errorInfo(answered)->get_errorMessage(), folder ? compressing : "");
    EXPECT_TRUE(folder ? log.contains(log4cplus::ERROR_LOG_LEVEL, compressing)
                       : log.contains(log4cplus::TRACE_LOG_LEVEL,
                                      "settings.xml will not be added to archive as it is an empty file"));
    EXPECT_EQ(answered.entries.count("settings.xml"), 0u);
    settingsFile().remove();
  }
  writeFile(settingsFile(), saved);
}

std::string logFilesJob(const std::string& id, const std::vector<std::string>& files) {
  std::string body;
  for (const std::string& f : files) body += "<k:additionalLogFile>" + f + "</k:additionalLogFile>";
  return document("RequestLogFilesZemTaskDescription", body, "taskId=\"" + id + "\"");
}

// The trust settings in force, plus `folder` as a log folder given to the host with --log-dir.
TrustBoundaries::Settings withLogFolder(const File& folder) {
  TrustBoundaries::Settings settings = TrustBoundaries::settings();
  settings.extraLogFolders.push_back(folder.getPath());
  return settings;
}
std::vector<std::string> entryNames(const ResultPackage& package) {
  std::vector<std::string> entries;
  for (const auto& e : package.entries) entries.push_back(e.first);
  return entries;
}

// A log of `size` bytes ending in kNewestLine (when it fits), sparse before it: a huge one costs
// neither time nor disk.
const std::string kNewestLine = "newest line\n";
void writeLog(const File& file, uint64_t size) {
  const int fd = ::open(file.getPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << file.getPath();
  const std::string tail = size >= kNewestLine.size() ? kNewestLine : std::string(size, 'x');
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  EXPECT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
            static_cast<ssize_t>(tail.size()));
  ::close(fd);
}
TEST_F(DataTasksTest, LogFilesAreCappedInNameOrderAndEachGivesOnlyItsNewestTenMiB) {
  const uint64_t MiB = 1 << 20;
  // The cap is tested before each file in name order (not in the order of the request), so the
  // last file added may carry the total past it. "syslog.txt" (the system log) sorts among them.
  const struct {
    std::vector<std::pair<std::string, uint64_t>> files;  // in request order
    std::vector<std::string> expected;                    // package entries
  } runs[] = {
      // Exactly at the cap after b.log: c.log is still taken, the system log is not.
      {{{"a.log", 6 * MiB}, {"b.log", 4 * MiB}, {"c.log", 1}},
       {"LOGS/a.log", "LOGS/b.log", "LOGS/c.log", "index.xml", "result.xml"}},
      // A 3 GiB log gives its last 10 MiB, and counts as that much.
      {{{"0huge.log", 3072 * MiB}, {"1small.log", 5}},
       {"LOGS/0huge.log", "LOGS/1small.log", "index.xml", "result.xml"}},
      // Requested first, z.log is still left out: in name order it follows the system log, x and y.
      {{{"z.log", 1}, {"y.log", 5 * MiB}, {"x.log", 6 * MiB}},
       {"LOGS/syslog.txt", "LOGS/x.log", "LOGS/y.log", "index.xml", "result.xml"}},
  };
  const File folder = freshFolder("capped");
  const ScopedTrustBoundaries trusted(withLogFolder(folder));
  // The rows count the system log as a few bytes: what earlier tests of this process logged (a
  // number of reloads that depends on the machine's load) is emptied first.
  File(DevicePaths::systemLogFile() + ".1").remove();
  ASSERT_EQ(::truncate(DevicePaths::systemLogFile().c_str(), 0), 0);
  for (const auto& run : runs) {
    SCOPED_TRACE(run.files.front().first);
    std::vector<std::string> paths;
    std::map<std::string, uint64_t> sizes;
    for (const auto& [name, size] : run.files) {
      writeLog(File(folder, name), size);
      paths.push_back(File(folder, name).getPath());
      sizes["LOGS/" + name] = size;
    }
    LogCapture log;
    const auto capped = app_.runJob(makeJob(inboxFile("capped.zip"), logFilesJob("capped", paths)));
    ASSERT_TRUE(succeeded(capped));
    EXPECT_EQ(capped.result->typeName(), "RequestLogFilesZemTaskResult");
    EXPECT_EQ(entryNames(capped), run.expected);
    for (const std::string& name : run.expected) {
      if (sizes.count(name) == 0) continue;
      const std::string& sent = capped.entries.at(name);
      EXPECT_EQ(sent.size(), std::min<uint64_t>(sizes[name], 10 * MiB)) << name;
      if (sent.size() >= kNewestLine.size()) {
        EXPECT_EQ(sent.substr(sent.size() - kNewestLine.size()), kNewestLine) << name;
      }
    }
    EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL,
                             "Maximum size of collectable log files is reached, we will "
                             "ignore the remaining files"));
    for (const auto& [name, size] : run.files) ASSERT_TRUE(File(folder, name).remove());
  }

  // The system log, rotated predecessors included, gives its newest 10 MiB too.
  const File rotated(DevicePaths::systemLogFile() + ".1");
  writeFile(rotated, std::string(11 * MiB, 'o'));
  ZEM_ERROR("system log probe 3c5f");
  const auto sent = app_.runJob(makeJob(inboxFile("syslog.zip"), logFilesJob("syslog", {})));
  ASSERT_TRUE(rotated.remove());
  const std::string& syslog = sent.entries.at("LOGS/syslog.txt");
  EXPECT_EQ(syslog.size(), 10 * MiB);
  EXPECT_NE(syslog.find("system log probe 3c5f"), std::string::npos);
}

TEST_F(DataTasksTest, LogFilesAreTakenOnlyFromTheLogFoldersAndHostileFilesAreSkipped) {
  const File src = freshFolder("logs");
  const File outside = freshFolder("outside");
  const ScopedTrustBoundaries trusted(withLogFolder(src));
  writeFile(File(src, "c.log"), "c\n");
  writeFile(File(DevicePaths::sysroot() + "/cache/var/log/unit.log"), "unit\n");
  writeFile(File(outside, "secret.log"), "secret\n");
  writeFile(File(outside, "bad\nname.log"), "secret\n");
  writeFile(File(outside, "other.log"), "secret\n");
  // A folder, a FIFO (never waited on), a link whose file vanished, a missing path, an empty file
  // and, when permissions hold, an unreadable one; links to a file outside and inside the folder,
  // a file reached through a linked folder, files outside and the unit's own log folder.
  ASSERT_TRUE(File(src, "dir.log").mkdirs());
  ASSERT_EQ(::mkfifo(File(src, "fifo.log").getPath().c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/nonexistent/x", File(src, "vanished.log").getPath().c_str()), 0);
  ASSERT_EQ(::symlink(File(outside, "secret.log").getPath().c_str(), File(src, "link.log").getPath().c_str()), 0);
  ASSERT_EQ(::symlink(File(src, "c.log").getPath().c_str(), File(src, "inner.log").getPath().c_str()), 0);
  ASSERT_EQ(::symlink(outside.getPath().c_str(), File(src, "through").getPath().c_str()), 0);
  writeFile(File(src, "empty.log"), "");
  writeFile(File(src, "locked.log"), "secret");
  ASSERT_EQ(::chmod(File(src, "locked.log").getPath().c_str(), 0), 0);
  std::vector<std::string> hostile;
  for (const char* n : {"dir.log", "fifo.log", "vanished.log", "missing.log", "empty.log", "locked.log", "c.log",
                        "link.log", "inner.log", "through/other.log"})
    hostile.push_back(File(src, n).getPath());
  hostile.insert(hostile.end(),
                 {std::string(5000, '/') + "..", File(outside, "secret.log").getPath(),
                  File(outside, "bad\nname.log").getPath(), DevicePaths::sysroot() + "/cache/var/log/unit.log"});
  ZEM_ERROR("log files probe 77aa");
  LogCapture log;
  const auto sent = app_.runJob(makeJob(inboxFile("hostile.zip"), logFilesJob("hostile", hostile)));
  EXPECT_TRUE(succeeded(sent));
  std::vector<std::string> expected = {"LOGS/c.log", "LOGS/syslog.txt", "LOGS/unit.log", "index.xml", "result.xml"};
  if (::geteuid() == 0) expected.insert(expected.begin() + 1, "LOGS/locked.log");  // root reads it all the same
  EXPECT_EQ(entryNames(sent), expected);
  EXPECT_NE(sent.entries.at("LOGS/syslog.txt").find("log files probe 77aa"), std::string::npos);
  EXPECT_TRUE(
      log.contains(log4cplus::TRACE_LOG_LEVEL, "LOGS/empty.log will not be added to archive as it is an empty file"));
  for (const std::string& refused :
       {"link: " + File(src, "link.log").getPath(), "link: " + File(src, "inner.log").getPath(),
        "link: " + File(src, "vanished.log").getPath(), "folders: " + File(src, "through/other.log").getPath(),
        "folders: " + File(outside, "secret.log").getPath(), "folders: " + outside.getPath() + "/bad\\nname.log"})
    EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, refused)) << refused << "\n" << log.dump();
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "Log file not taken, "), 6u) << log.dump();
  EXPECT_FALSE(File(dataFolder(), "LOGS").exists());
  EXPECT_EQ(outboxPackages().back().getName().rfind("OBU.LOGFILES_hostile_", 0), 0u);
}

}  // namespace
