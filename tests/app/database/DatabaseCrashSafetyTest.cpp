// Power-loss safety of the owned files: a recording seam checks that the database, the
// configuration copy, the settings and a result package are each replaced by write, fsync of the
// file, rename, fsync of the folder, in that order, so a power cut leaves the old file or the new.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/ZemSettings.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/FileIo.h"

namespace {

using namespace apptest;

// Every step of the durable writer's seam, in order: "write P", "fsync P SIZE", "fsync P/"
// (a folder), "rename FROM TO", with absolute paths.
std::vector<std::string> steps;
std::string pathOf(int fd) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof(buffer));
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}
xmldoc::FileIo recordingIo() {
  xmldoc::FileIo io = xmldoc::defaultFileIo();
  io.write = [](int fd, const void* data, size_t n) {
    return steps.push_back("write " + pathOf(fd)), ::write(fd, data, n);
  };
  io.fsync = [](int fd) {
    struct stat st {};
    fstat(fd, &st);
    steps.push_back("fsync " + pathOf(fd) + (S_ISDIR(st.st_mode) ? "/" : " " + std::to_string(st.st_size)));
    return ::fsync(fd);
  };
  io.rename = [](const char* from, const char* to) {
    return steps.push_back(std::string("rename ") + from + " " + to), ::rename(from, to);
  };
  return io;
}
size_t indexOf(const std::string& step, size_t from = 0) {
  while (from < steps.size() && steps[from].rfind(step, 0) != 0) ++from;
  return from;
}

// The replacement of `target` ran write(s), fsync of the complete file, rename, fsync of the
// folder, in that order. `writesRecorded`: false for a file that a library writes itself.
void expectPowerSafeOrder(const std::string& target, bool writesRecorded) {
  SCOPED_TRACE(target);
  const std::string name = File(target).getName(), folder = File(target).getParentFile().getPath();
  const size_t rename = indexOf("rename " + folder + "/." + name + ".tmp");
  ASSERT_LT(rename, steps.size()) << "never renamed into place";
  const std::string temporary = steps[rename].substr(7, steps[rename].find(' ', 7) - 7);
  ASSERT_EQ(steps[rename], "rename " + temporary + " " + target);
  const size_t flush = indexOf("fsync " + temporary + " ");
  EXPECT_LT(flush, rename) << "renamed before its flush";
  EXPECT_LT(indexOf("fsync " + folder + "/", rename), steps.size()) << "folder not flushed after the rename";
  EXPECT_NE(steps[std::min(flush, rename)], "fsync " + temporary + " 0") << "flushed before written";
  if (writesRecorded) {
    EXPECT_LT(indexOf("write " + temporary), flush) << "never written";
  }
  EXPECT_EQ(indexOf("write " + temporary, flush), steps.size()) << "written after its flush";
}

TEST(PowerLossOrder, EveryOwnedFileIsWrittenFlushedRenamedAndItsFolderFlushed) {
  char resolved[PATH_MAX];
  const std::string base = realpath(freshFolder("order").getPath().c_str(), resolved);
  const std::string store = base + "/STORE", database = store + "/database.xml";
  ASSERT_TRUE(File(base + "/default.xml").writeAtomically(databaseXml(entryXml("k", valueXml("String", "v")))));
  XMLDatabaseImpl impl(database, base + "/default.xml", sourceSchemaFile(), store);
  impl.load();
  ASSERT_TRUE(File(base + "/CONFIGS").mkdirs() && File(base + "/OUTBOX").mkdirs());

  steps.clear();
  xmldoc::fileIo() = recordingIo();
  const auto value = integerNode(3);
  const bool stored = impl.setInteger("n", &value);
  const bool copied = File(base + "/default.xml").copyTo(File(base + "/CONFIGS/config.xml"));
  ZemSettings(File(base + "/settings.xml")).load();  // a missing file: defaults saved
  ZipArchive package = ZipArchive::create(base + "/OUTBOX/P.zip");
  package.addFile("database.xml", File(database));
  package.close();
  xmldoc::fileIo() = xmldoc::defaultFileIo();

  ASSERT_TRUE(stored && copied);
  expectPowerSafeOrder(database, true);
  expectPowerSafeOrder(base + "/CONFIGS/config.xml", true);
  expectPowerSafeOrder(base + "/settings.xml", true);
  expectPowerSafeOrder(base + "/OUTBOX/P.zip", false);
}

}  // namespace
