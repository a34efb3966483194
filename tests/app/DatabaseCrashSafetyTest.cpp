// Power-loss safety of the owned files: a recording seam checks that the database, the
// configuration copy, the settings and a result package are each replaced by write, fsync of the
// file, rename, fsync of the folder, in that order, so a power cut leaves the old file or the new.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AppTestEnvironment.h"
#include "DatabaseTestSupport.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/TempFile.h"
#include "kest/ZemSettings.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/FileIo.h"

namespace {

using namespace apptest;

// Every step of the durable writer's seam, as "write P", "fsync P SIZE", "fsync-folder P",
// "rename FROM TO" with absolute paths.
std::vector<std::string> steps;
std::string pathOf(int fd) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof(buffer));
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}
xmldoc::FileIo recordingIo() {
  xmldoc::FileIo io = xmldoc::defaultFileIo();
  io.write = [](int fd, const void* data, size_t n) {
    steps.push_back("write " + pathOf(fd));
    return ::write(fd, data, n);
  };
  io.fsync = [](int fd) {
    struct stat st {};
    fstat(fd, &st);
    steps.push_back(S_ISDIR(st.st_mode) ? "fsync-folder " + pathOf(fd)
                                        : "fsync " + pathOf(fd) + " " + std::to_string(st.st_size));
    return ::fsync(fd);
  };
  io.rename = [](const char* from, const char* to) {
    steps.push_back(std::string("rename ") + from + " " + to);
    return ::rename(from, to);
  };
  return io;
}

// Checks that the last replacement of `target` ran write(s), fsync of the complete file, rename,
// fsync of the folder, in that order. `writesRecorded`: false for files a library writes itself.
void expectPowerSafeOrder(const std::string& target, bool writesRecorded) {
  SCOPED_TRACE(target);
  size_t rename = steps.size();
  std::string temporary;
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string suffix = " " + target;
    if (steps[i].rfind("rename ", 0) == 0 && steps[i].size() > suffix.size() &&
        steps[i].compare(steps[i].size() - suffix.size(), suffix.size(), suffix) == 0) {
      rename = i;
      temporary = steps[i].substr(7, steps[i].size() - 7 - suffix.size());
    }
  }
  ASSERT_LT(rename, steps.size()) << "never renamed into place";
  size_t lastWrite = steps.size(), flush = steps.size(), folderFlush = steps.size();
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i] == "write " + temporary) lastWrite = i;
    if (steps[i].rfind("fsync " + temporary + " ", 0) == 0) {
      flush = i;
      EXPECT_NE(steps[i], "fsync " + temporary + " 0") << "flushed before anything was written";
    }
    if (i > rename && folderFlush == steps.size() &&
        steps[i] == "fsync-folder " + File(target).getParentFile().getPath()) {
      folderFlush = i;
    }
  }
  if (writesRecorded) EXPECT_LT(lastWrite, flush) << "written after its flush";
  EXPECT_LT(flush, rename) << "renamed before its flush";
  EXPECT_LT(folderFlush, steps.size()) << "folder not flushed after the rename";
}

TEST(PowerLossOrder, EveryOwnedFileIsWrittenFlushedRenamedAndItsFolderFlushed) {
  TempFile folder("zem-order");
  char resolved[PATH_MAX];
  const std::string base = realpath(folder.getFile().getPath().c_str(), resolved);
  const std::string store = base + "/STORE", database = store + "/database.xml";
  ASSERT_TRUE(File(base + "/default.xml").writeAtomically(databaseXml(entryXml("k", stringXml("v")))));
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
