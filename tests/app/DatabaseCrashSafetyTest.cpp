// Crash and power-loss safety of the owned files. A recording seam checks the order of the steps
// that a power cut needs (write, fsync of the file, rename, fsync of the folder) for the database,
// the configuration copy, the settings and a result package; a writer killed at random moments
// shows that the database file is always complete and keeps every acknowledged value.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>
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
    if (i > rename && folderFlush == steps.size() && steps[i] == "fsync-folder " + File(target).getParentFile().getPath()) {
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

// A running zem_db_writer whose acknowledgements ("c N" / "l N" lines) arrive on a pipe.
class Writer {
 public:
  explicit Writer(std::vector<std::string> args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    args.insert(args.begin(), ZEM_DB_WRITER_PATH);
    args.push_back("3");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 3);  // only async-signal-safe calls until exec
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
  }
  ~Writer() {
    if (pid_ > 0) killNow();
    if (readFd_ >= 0) close(readFd_);
  }
  // Waits until `count` acknowledgements arrived; false on timeout or end of the writer.
  bool waitFor(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::count(received_.begin(), received_.end(), '\n') < count) {
      pollfd descriptor{readFd_, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline || (poll(&descriptor, 1, 100) > 0 && !readSome())) return false;
    }
    return true;
  }
  int killNow() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // The last acknowledged value of `kind`, 0 when none (reads to the end of the pipe).
  int last(char kind) {
    while (readSome()) {
    }
    std::istringstream lines(received_);
    char k = 0;
    int value = 0, found = 0;
    while (lines >> k >> value) found = k == kind ? value : found;
    return found;
  }

 private:
  bool readSome() {
    char buffer[4096];
    const ssize_t n = read(readFd_, buffer, sizeof(buffer));
    if (n > 0) received_.append(buffer, static_cast<size_t>(n));
    return n > 0;
  }
  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string received_;
};

TEST(DatabaseCrashSafety, KilledWriterAlwaysLeavesACompleteFileWithEveryAcknowledgedValue) {
  TempFile folder("zem-crash");
  const std::string base = folder.getFile().getPath(), database = base + "/STORE/database.xml";
  std::string fill;
  for (int i = 0; i < 300; ++i) fill += entryXml("e" + std::to_string(i), stringXml("value of entry " + std::to_string(i)));
  ASSERT_TRUE(File(base + "/default.xml").writeAtomically(databaseXml(entryXml("filler", mapXml(fill)))));
  const std::vector<std::string> args{database, base + "/default.xml", sourceSchemaFile(), base + "/STORE"};
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  int lastList = 0;
  for (int kill = 0; kill < 30 && !HasFailure(); ++kill) {
    Writer writer(args);
    ASSERT_TRUE(writer.waitFor(std::uniform_int_distribution<int>(1, 4)(random))) << "the writer stopped or stalled";
    usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 15000)(random)));  // anywhere in a save
    const int status = writer.killNow();
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself: " << status;
    // Complete and valid; the last acknowledged counter, or the one whose save was cut short.
    XMLDatabaseImpl store(database, base + "/default.xml", sourceSchemaFile(), base + "/STORE");
    store.load();
    ASSERT_TRUE(store.getString("filler.e299")->isValid()) << "the file lost content";
    const int counter = store.getInteger("counter")->getValue(), acked = writer.last('c');
    EXPECT_TRUE(counter == acked || counter == acked + 1) << "file " << counter << ", acknowledged " << acked;
    const int list = store.getList("deep.list")->isValid() ? std::stoi(store.getList("deep.list")->str().substr(1)) : 0;
    if (writer.last('l') != 0) lastList = writer.last('l');
    EXPECT_TRUE(list == lastList || (list == acked && acked % 4 == 0))
        << "file " << list << ", acknowledged " << lastList;
    lastList = list;
  }
}

}  // namespace
