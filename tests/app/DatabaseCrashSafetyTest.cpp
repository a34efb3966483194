// Kills a process that writes the store at random moments and checks after every kill that the
// database file is a complete, valid document holding only values that were written, and no
// acknowledged value is lost.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestEnvironment.h"
#include "DatabaseTestSupport.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using Clock = std::chrono::steady_clock;

struct Acknowledged {
  int counter = 0;  // last "c" value, 0 when none
  int list = 0;     // last "l" value, 0 when none
  int count = 0;
};

void parseAcknowledgements(const std::string& text, Acknowledged* acks) {
  std::istringstream lines(text);
  char kind = 0;
  int value = 0;
  while (lines >> kind >> value) {
    if (kind == 'c') acks->counter = value;
    if (kind == 'l') acks->list = value;
    ++acks->count;
  }
}

// A running zem_db_writer whose acknowledgements arrive on a pipe.
class Writer {
 public:
  explicit Writer(const std::vector<std::string>& storeArgs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    std::vector<std::string> args{ZEM_DB_WRITER_PATH};
    args.insert(args.end(), storeArgs.begin(), storeArgs.end());
    args.push_back("3");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls until exec.
      dup2(fds[1], 3);
      if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    if (devNull >= 0) close(devNull);
  }
  ~Writer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (readFd_ >= 0) close(readFd_);
  }

  bool started() const { return pid_ > 0 && readFd_ >= 0; }

  // Reads acknowledgements until at least `count` arrived; false on timeout or end of the writer.
  bool waitForAcknowledgements(int count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (countLines() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd descriptor{readFd_, POLLIN, 0};
      if (poll(&descriptor, 1, static_cast<int>(left)) <= 0) continue;
      if (!readAvailable()) return false;
    }
    return true;
  }

  // Kills the writer and returns its wait status.
  int killNow() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  // Everything acknowledged (call after killNow: reads to the end of the pipe).
  Acknowledged drain() {
    while (readAvailable()) {
    }
    Acknowledged acks;
    parseAcknowledgements(received_, &acks);
    return acks;
  }

 private:
  bool readAvailable() {
    char buffer[4096];
    const ssize_t length = read(readFd_, buffer, sizeof(buffer));
    if (length <= 0) return false;
    received_.append(buffer, static_cast<size_t>(length));
    return true;
  }
  int countLines() const {
    int lines = 0;
    for (char c : received_) lines += c == '\n';
    return lines;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string received_;
};

// The integer value at `key` of the top-level map, or 0 when absent.
int topInteger(const Types::PersistedDatabase& document, const std::string& key) {
  for (const auto& entry : document.element_data()->elements_entry()) {
    if (entry->get_key() != key) continue;
    const auto* value = dynamic_cast<const Types::PersistedIntegerValue*>(entry->element_value());
    return value ? value->get_integerValue() : -1;
  }
  return 0;
}

// The one integer of the list deep.list, or 0 when absent.
int deepListValue(const Types::PersistedDatabase& document) {
  for (const auto& entry : document.element_data()->elements_entry()) {
    if (entry->get_key() != "deep") continue;
    const auto* deep = dynamic_cast<const Types::PersistedMapValue*>(entry->element_value());
    for (const auto& inner : deep->elements_entry()) {
      const auto* list = dynamic_cast<const Types::PersistedListValue*>(inner->element_value());
      if (inner->get_key() != "list" || list == nullptr || list->elements_item().size() != 1) return -1;
      const auto* item = dynamic_cast<const Types::PersistedIntegerValue*>(list->elements_item()[0].get());
      return item ? item->get_integerValue() : -1;
    }
  }
  return 0;
}

size_t fillerCount(const Types::PersistedDatabase& document) {
  for (const auto& entry : document.element_data()->elements_entry()) {
    if (entry->get_key() != "filler") continue;
    const auto* filler = dynamic_cast<const Types::PersistedMapValue*>(entry->element_value());
    return filler ? filler->elements_entry().size() : 0;
  }
  return 0;
}

TEST(DatabaseCrashSafety, KilledWriterAlwaysLeavesACompleteFileWithEveryAcknowledgedValue) {
  constexpr int kKills = 50;
  constexpr size_t kFiller = 300;
  TempFile folder("zem-crash");
  const std::string base = folder.getFile().getPath();
  const std::string storeFolder = base + "/STORE";
  const std::string databaseFile = storeFolder + "/database.xml";
  std::string filler;
  for (size_t i = 0; i < kFiller; ++i) {
    filler += apptest::entryXml("entry" + std::to_string(i), apptest::stringXml("value of entry " + std::to_string(i)));
  }
  ASSERT_TRUE(File(base + "/default.xml")
                  .writeAtomically(apptest::databaseXml(apptest::entryXml("filler", apptest::mapXml(filler)))));
  const std::vector<std::string> storeArgs{databaseFile, base + "/default.xml", apptest::sourceSchemaFile(),
                                           storeFolder};
  const XmlValidatorLibXml2 validator(apptest::sourceSchemaFile());

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> acksBeforeKill(1, 4);
  std::uniform_int_distribution<int> delayMicroseconds(0, 15000);

  int lastCounter = 0;
  int lastList = 0;
  const auto start = Clock::now();
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    Writer writer(storeArgs);
    ASSERT_TRUE(writer.started());
    ASSERT_TRUE(writer.waitForAcknowledgements(acksBeforeKill(random), std::chrono::seconds(10)))
        << "the writer stopped or stalled";
    usleep(static_cast<useconds_t>(delayMicroseconds(random)));  // lands anywhere inside a save
    const int status = writer.killNow();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer ended by itself: " << status;
    const Acknowledged acks = writer.drain();
    ASSERT_GT(acks.count, 0);

    ASSERT_NO_THROW(validator.validate(databaseFile));
    xmldoc::DocumentPtr<Types::PersistedDatabase> document;
    ASSERT_NO_THROW(document = xmldoc::parseFile<Types::PersistedDatabase>(databaseFile));
    EXPECT_EQ(fillerCount(*document), kFiller);

    // The file holds the last acknowledged counter, or the one whose save was cut short.
    const int counter = topInteger(*document, "counter");
    EXPECT_GT(acks.counter, lastCounter) << "the writer resumes after the value it finds";
    EXPECT_TRUE(counter == acks.counter || counter == acks.counter + 1)
        << "file " << counter << ", acknowledged " << acks.counter;
    if (acks.list != 0) lastList = acks.list;
    const int list = deepListValue(*document);
    EXPECT_TRUE(list == lastList || (list == acks.counter && acks.counter % 4 == 0))
        << "file " << list << ", acknowledged " << lastList;
    lastList = list;
    lastCounter = counter;
    if (HasFailure()) break;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  RecordProperty("elapsed_ms", static_cast<int>(elapsed.count()));
}

}  // namespace
