// Job intake: ProcessTaskRequest with every outcome of a container, claims, descriptors and
// retries of a backlog, the "JobAppeared" servlet and its answers, and the start-up scan.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "RunningApp.h"
#include "app/ZemApp.h"
#include "ipc/IpcDefinitions.h"
#include "ipc/ZemJobAppearedIpcHandler.h"
#include "jobs/Inbox.h"
#include "jobs/ProcessTaskRequest.h"
#include "jobs/Quarantine.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TrustBoundaries.h"
#include "kest/seams/PosixFileOps.h"
#include "kest/seams/ZipLibOps.h"
#include "kest/security/SecurityService.h"
#include "kest/testing/LogCapture.h"

namespace {

using namespace apptest;
using kest::testing::LogCapture;

const char* const kCannotHandle = "Impossible to handle Zem Task request : ";
const std::string kRequest = "RequestZemDatabaseTaskDescription";

// Counts the look-ups of a container's "index.xml" through the libzip seam.
int g_indexLookUps = 0;
zip_int64_t (*g_realNameLocate)(zip_t*, const char*, zip_flags_t) = nullptr;
zip_int64_t countingNameLocate(zip_t* zip, const char* name, zip_flags_t flags) {
  if (std::string(name) == "index.xml") ++g_indexLookUps;
  return g_realNameLocate(zip, name, flags);
}

// ProcessTaskRequest against a queue without worker: each step is driven by the test.
class ProcessTaskRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freshDevice();
    File(DevicePaths::inboxFolder()).mkdirs();
  }

  ZemTaskExecutionQueue queue_{nullptr, 10, false};
};

// The ProcessTaskRequest outcomes: one row per kind of container (its entries; none: the file
// holds `raw`), with what becomes of it. Every refusal logs one ERROR naming the container; none
// but a file that is no regular inbox entry stays where it was. A valid container that finds no
// libzip to load is refused as well, with an ERROR naming the library; the next one loads it.
TEST_F(ProcessTaskRequestTest, EachKindOfContainerHasItsOutcome) {
  const std::string task = description(kRequest, "x"), database = databaseXml(entryXml("a", valueXml("String", "b")));
  const auto job = [](const std::string& name) { return makeJob(inboxFile(name), description(kRequest, "q")); };
  const std::string valid = readFile(job("valid.zip"));
  const auto index = [](const std::string& type, const std::string& file) { return indexDocument({{type, file}}); };
  // Deeper than the XML caps allow: the description never parses, so its task id is never read.
  std::string deep = description(kRequest, "too-deep");
  deep.insert(deep.find("</k:content>"), [] {
    std::string nested;
    for (int i = 0; i < 200; ++i) nested += "<k:x>";
    for (int i = 0; i < 200; ++i) nested += "</k:x>";
    return nested;
  }());
  ASSERT_TRUE(inboxFile("folder.zip").mkdirs());
  const File elsewhere = makeJob(File(freshFolder("elsewhere"), "job.zip"), task);
  const std::string unknown = description("NoSuchZem", "x");
  const std::string enumAfter = indexDocument({{"TASK_REQUEST", "t"}, {"NO_SUCH_TYPE", "x"}}),
                    poison = description(kRequest, "poison");
  enum Outcome { kStays, kQuarantined, kFailurePackage, kAbsent };
  struct Row {
    std::string name;  // in the inbox, or an absolute path
    std::vector<Entry> entries;
    std::string raw;
    Outcome outcome;
    const char* libzipFile = nullptr;  // libzip is loaded from this file instead
  };
  const std::vector<Row> rows = {
      {"not-a-zip.zip", {}, "this is no zip archive", kQuarantined},
      {"no-libzip.zip", {}, valid, kQuarantined, "libzip-absent.so.4"},
      {"folder.zip", {}, "", kStays},
      {"absent.zip", {}, "", kAbsent},
      {elsewhere.getPath(), {}, "", kStays},
      {"no-index.zip", {{"task.xml", task}}, "", kQuarantined},
      {"no-request.zip", {{"index.xml", index("ZEM_DATABASE", "db.xml")}, {"db.xml", database}}, "", kQuarantined},
      {"index-not-an-index.zip", {{"index.xml", task}, {"task.xml", task}}, "", kQuarantined},
      {"not-a-description.zip", {{"index.xml", index("TASK_REQUEST", "t")}, {"t", database}}, "", kQuarantined},
      {"unknown.zip", {{"index.xml", index("TASK_REQUEST", "t")}, {"t", unknown}}, "", kQuarantined},
      {"dotdot.zip", {{"index.xml", index("TASK_REQUEST", "../t.xml")}, {"../t.xml", task}}, "", kQuarantined},
      {"enum-first.zip", {{"index.xml", index("Task_Request", "t")}, {"t", task}}, "", kQuarantined},
      {"over-caps.zip", {{"index.xml", index("TASK_REQUEST", "t")}, {"t", deep}}, "", kQuarantined},
      {"enum-after.zip", {{"index.xml", enumAfter}, {"t", poison}, {"x", "x"}}, "", kFailurePackage},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const File container = row.name[0] == '/' ? File(row.name) : inboxFile(row.name);
    if (!row.entries.empty()) makeZip(container, row.entries);
    if (!row.raw.empty()) writeFile(container, row.raw);
    const size_t quarantined = File(Quarantine::folder()).listFiles().size();
    std::optional<ScopedLibzipFileName> libzipFile;
    if (row.libzipFile != nullptr) libzipFile.emplace(row.libzipFile);
    LogCapture log;
    ProcessTaskRequest request(queue_, nullptr, container.getPath());
    EXPECT_FALSE(request.execute());
    EXPECT_EQ(container.exists(), row.outcome == kStays);
    EXPECT_EQ(queue_.pendingCount(), 0u);
    EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "New job enqueued: " + container.getPath()));
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + container.getPath()), 1u);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "Job definition is quarantined : " + container.getPath()),
              row.outcome == kQuarantined ? 1u : 0u);
    const std::vector<File> kept = File(Quarantine::folder()).listFiles();
    EXPECT_EQ(kept.size(), quarantined + (row.outcome == kQuarantined ? 1 : 0));
    EXPECT_EQ(log.contains(log4cplus::ERROR_LOG_LEVEL, "Parse error: refused: "), row.name == "over-caps.zip");
    EXPECT_EQ(log.contains(log4cplus::ERROR_LOG_LEVEL, "libzip (libzip-absent.so.4) cannot be loaded"),
              row.libzipFile != nullptr);
    if (row.outcome == kFailurePackage) {
      ASSERT_EQ(outboxPackages().size(), 1u);
      const ResultPackage package = readPackage(outboxPackages().at(0));
      EXPECT_EQ(package.result->get_taskId(), "poison");
      EXPECT_FALSE(succeeded(package));
      EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "unknown entry type \"NO_SUCH_TYPE\""));
      File(outboxPackages().at(0)).remove();
    }
  }
  EXPECT_TRUE(outboxPackages().empty());
  // A valid container: its task is queued (its index extracted once for the whole intake), deletes
  // the container and reports.
  {
    ZipLibOps counting = zipLibOps();
    g_realNameLocate = counting.nameLocate;
    counting.nameLocate = &countingNameLocate;
    const ScopedZipLibOps countIndexLookUps(counting);
    EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, inboxFile("valid.zip").getPath()).execute());
  }
  EXPECT_EQ(g_indexLookUps, 1);
  EXPECT_EQ(queue_.runPending(), 1u);
  EXPECT_FALSE(inboxFile("valid.zip").exists());
  EXPECT_EQ(readPackage(outboxPackages().at(0)).result->get_taskId(), "q");
  // A task that the queue refuses: its container is deleted.
  const File refused = job("refused.zip");
  queue_.close();
  LogCapture log;
  EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, refused.getPath()).execute());
  EXPECT_FALSE(refused.exists());
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL,
                           "Impossible to enqueue task, task container will be deleted : " + refused.getPath()));
}

// Poison containers leave the inbox for the quarantine under a safe, fresh name each (a hostile
// name and the same name twice included); only the newest Quarantine::kMaxKept stay.
TEST_F(ProcessTaskRequestTest, TheQuarantineKeepsTheNewestPoisonContainersUnderSafeFreshNames) {
  const std::string hostile = "$(reboot)\n\x1b[31m" + std::string(200, 'n') + ".zip";
  std::vector<std::string> names = {hostile, "same.zip", "same.zip"};
  for (size_t k = names.size(); k < Quarantine::kMaxKept + 4; ++k) names.push_back("p" + std::to_string(k) + ".zip");
  for (const std::string& name : names) {
    const File container = inboxFile(name);
    writeFile(container, "no zip");
    EXPECT_FALSE(ProcessTaskRequest(queue_, nullptr, container.getPath()).execute());
    EXPECT_FALSE(container.exists());
  }
  std::set<std::string> kept;
  for (const File& file : File(Quarantine::folder()).listFiles()) kept.insert(file.getName());
  EXPECT_EQ(kept.size(), Quarantine::kMaxKept);
  for (const std::string& name : kept) {
    EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-"),
              std::string::npos)
        << name;
    EXPECT_LE(name.size(), 40 + Quarantine::kMaxKeptNameBytes) << name;
  }
  // The oldest went first: the hostile name and both "same.zip" (all made before the others).
  const auto endsWith = [&](const std::string& suffix) {
    return std::count_if(kept.begin(), kept.end(), [&](const std::string& name) {
      return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
  };
  EXPECT_EQ(endsWith("-same.zip"), 0);
  EXPECT_EQ(endsWith("-" + names.back()), 1);
  EXPECT_EQ(endsWith("-p3.zip"), 0);
  EXPECT_EQ(endsWith("-p4.zip"), 1);
  EXPECT_TRUE(File(DevicePaths::inboxFolder()).listFiles().empty());
  EXPECT_EQ(Quarantine::safeName(hostile).substr(0, 14), "__reboot____31");
}

TEST_F(ProcessTaskRequestTest, AContainerIsClaimedOnceUntilItsProcessingEnds) {
  const File job = makeJob(inboxFile("twice.zip"), description(kRequest, "t2"));
  LogCapture log;
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
  EXPECT_FALSE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
  EXPECT_FALSE(queue_.addDtsiTask(job.getPath()));
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL,
                      "Task container already queued or running, announcement ignored: " + job.getPath()),
            2u);
  EXPECT_EQ(queue_.runPending(), 2u);
  EXPECT_EQ(outboxPackages().size(), 1u);
  EXPECT_FALSE(queue_.inbox()->isClaimed("twice.zip"));

  // A container that yields no task stays, unclaimed: a later announcement is taken.
  const File unknown = makeJob(inboxFile("unknown.zip"), description("NoSuchZemTaskDescription", "u"));
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, unknown.getPath()));
  EXPECT_EQ(queue_.runPending(), 1u);
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, unknown.getPath()));
  // A request or task destroyed unrun (closed queue) ends its claim too.
  queue_.close();
  EXPECT_FALSE(queue_.inbox()->isClaimed("unknown.zip"));
}

// A container replaced while it waits is not deleted unrun; an inbox replaced by a link is not followed.
TEST_F(ProcessTaskRequestTest, ReplacedContainersAndInboxesAreNeitherDeletedNorFollowed) {
  const File swapped = makeJob(inboxFile("swap.zip"), description(kRequest, "old"));
  EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, swapped.getPath()).execute());
  const File replacement = makeJob(File(freshFolder("new"), "swap.zip"), description(kRequest, "new"));
  ASSERT_EQ(::rename(replacement.getPath().c_str(), swapped.getPath().c_str()), 0);
  queue_.runPending();
  EXPECT_TRUE(swapped.isFile());

  const File elsewhere = freshFolder("elsewhere");
  const File job = makeJob(File(elsewhere, "job.zip"), description(kRequest, "linked"));
  const std::string& inbox = DevicePaths::inboxFolder();
  const size_t packages = outboxPackages().size();
  ASSERT_EQ(::rename(inbox.c_str(), (elsewhere.getPath() + "/old-inbox").c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.getPath().c_str(), inbox.c_str()), 0);
  EXPECT_FALSE(Inbox::isRegularFile("job.zip"));
  EXPECT_FALSE(ProcessTaskRequest(queue_, nullptr, inbox + "/job.zip").execute());
  EXPECT_TRUE(job.isFile());
  EXPECT_EQ(outboxPackages().size(), packages);
}

TEST_F(ProcessTaskRequestTest, ABacklogBeyondTheDescriptorLimitGivesOnePackagePerContainer) {
  const size_t count = 5000;
  for (size_t k = 0; k < count; ++k)
    makeJob(inboxFile("c" + std::to_string(k) + ".zip"), description(kRequest, "b" + std::to_string(k)));
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = std::min<rlim_t>(1024, saved.rlim_cur);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
  auto logger = ApplicationLogger::logger();
  const auto level = logger.getLogLevel();
  logger.setLogLevel(log4cplus::FATAL_LOG_LEVEL);
  for (const File& container : File(DevicePaths::inboxFolder()).listFiles("zip")) {
    ProcessTaskRequest::submit(queue_, nullptr, container.getPath());
  }
  const size_t ran = queue_.runPending();
  logger.setLogLevel(level);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(ran, 2 * count);
  std::set<std::string> ids;
  for (const File& package : File(DevicePaths::outboxFolder()).listFiles("zip")) {
    const std::string name = package.getName();
    ids.insert(name.substr(4, name.rfind('_') - 4));  // ZEM_<id>_<time>.zip
  }
  EXPECT_EQ(ids.size(), count);
  EXPECT_EQ(File(DevicePaths::outboxFolder()).listFiles("zip").size(), count);
  EXPECT_TRUE(File(DevicePaths::inboxFolder()).listFiles("zip").empty());
}

TEST_F(ProcessTaskRequestTest, AContainerWhosePackageFailsForWantOfSpaceIsKeptForARetry) {
  static int renameError;
  PosixFileOps ops = posixFileOps();
  // Only the result package's rename fails.
  ops.rename = [](const char* from, const char* to) {
    const std::string target(to);
    if (target.size() < 4 || target.compare(target.size() - 4, 4, ".zip") != 0) return ::rename(from, to);
    errno = renameError;
    return -1;
  };
  for (const int error : {ENOSPC, EMFILE, EIO}) {
    SCOPED_TRACE(error);
    const File job = makeJob(inboxFile("retry.zip"), description(kRequest, "r"));
    ASSERT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
    renameError = error;
    {
      const ScopedPosixFileOps seam(ops);
      EXPECT_EQ(queue_.runPending(), 2u);
    }
    EXPECT_TRUE(outboxPackages().empty());
    EXPECT_EQ(job.isFile(), error != EIO);  // any other failure ends the job as before
    EXPECT_FALSE(queue_.inbox()->isClaimed("retry.zip"));
  }
}

// Records the string content of every message it receives.
class RecordingListener : public IpcListener {
 public:
  std::string ipcMessageReceived(const Ipc::IpcMessageDefinition&, const IpcMessage& message) override {
    received.push_back(dynamic_cast<const IpcStringMessageContent&>(message.getContent()).getString());
    return std::string();
  }
  std::vector<std::string> received;
};

TEST_F(ProcessTaskRequestTest, AnnouncementsBeforeAListenerAreHeldUpToTheBoundAndDelivered) {
  const File job = makeJob(inboxFile("early.zip"), description(kRequest, "e"));
  ZemJobAppearedIpcHandler servlet(IpcDefinitions::jobAppeared(), nullptr);
  LogCapture log;
  for (size_t i = 0; i <= Ipc::IpcServlet::kMaxHeldMessages; ++i) {
    Ipc::IpcParameterSet parameters;
    parameters.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", job.getPath()));
    Ipc::IpcMethodCallResponse response;
    servlet.processMethodCall(IpcDefinitions::jobAppeared(), Ipc::IpcMethodCallRequest(std::move(parameters), ""),
                              response);
    EXPECT_EQ(response.getParameters().get<Ipc::IpcIntegerParameter>("status").getValue(), 1);
  }
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "the message is dropped"), 1u);
  RecordingListener listener;
  servlet.addListener(IpcDefinitions::jobAppeared(), &listener);
  EXPECT_EQ(listener.received, std::vector<std::string>(Ipc::IpcServlet::kMaxHeldMessages, job.getPath()));
  servlet.addListener(IpcDefinitions::jobAppeared(), &listener);  // nothing is delivered twice
  EXPECT_EQ(listener.received.size(), Ipc::IpcServlet::kMaxHeldMessages);
}

// "JobAppeared" through the in-process IPC service on a started application.
class JobAppearedTest : public ::testing::Test {
 protected:
  std::shared_ptr<ZemTaskExecutionQueue> queue() const { return getApp()->getTaskQueue().lock(); }
};

// The answers to "JobAppeared": one row per request, with the status and the ERROR line it gives.
// None of them opens, runs or deletes anything.
TEST_F(JobAppearedTest, RequestsAnswerTheirStatusAndTouchNothingOutsideTheInbox) {
  RunningApp app;
  const File elsewhere = freshFolder("elsewhere"), passwd(elsewhere, "passwd");
  writeFile(passwd, "root:x:0:0:root:/root:/bin/sh\n");
  const File job = makeJob(File(elsewhere, "job.zip"), description(kRequest, "out"));
  const File link = inboxFile("link.zip"), fifo = inboxFile("fifo.zip");
  ASSERT_EQ(::symlink(job.getPath().c_str(), link.getPath().c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.getPath().c_str(), 0600), 0);
  const File nested = makeJob(inboxFile("sub/nested.zip"), description(kRequest, "n"));
  const File dotted = makeJob(inboxFile("dotted.zip"), description(kRequest, "d"));
  const std::string& inbox = DevicePaths::inboxFolder();
  const std::string missing = DevicePaths::sysroot() + "/no/such/folder/job.zip";
  // "<integer>": the parameter as an integer; "<none>": no parameter. Paths not named here are
  // refused with "Refused the announced task container PATH" and refused the same way when the
  // host hands them over.
  const std::map<std::string, std::pair<int64_t, std::string>> special = {
      {"<integer>", {0, "Parameter does not have the right type: jobLocation"}},
      {"<none>", {0, "Problem during reception of the JobAppeared message"}},
      {missing, {1, "The containing folder for the incoming package at " + missing + " does not exist."}}};
  for (const std::string& path :
       {std::string("<integer>"), std::string("<none>"), missing, passwd.getPath(), job.getPath(), link.getPath(),
        fifo.getPath(), nested.getPath(), inbox + "/../INBOX/dotted.zip", inbox + "/./dotted.zip", inbox + "/"}) {
    SCOPED_TRACE(path);
    const auto found = special.find(path);
    const bool refused = found == special.end();
    LogCapture log;
    Ipc::IpcParameterSet in;
    if (path == "<integer>") in.add(std::make_unique<Ipc::IpcIntegerParameter>("jobLocation", 7));
    if (path[0] != '<') in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", path));
    EXPECT_EQ(app.ipc().call("Zem", "JobAppeared", in).get<Ipc::IpcIntegerParameter>("status").getValue(),
              refused ? 1 : found->second.first);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL,
                             refused ? "Refused the announced task container " + path : found->second.second));
    EXPECT_TRUE(!refused || !ProcessTaskRequest(*queue(), nullptr, path).execute()) << "handed over by the host";
  }
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_TRUE(queue()->getReplayHistory().empty());
  for (const File& file : {passwd, job, link, fifo, nested, dotted}) EXPECT_TRUE(file.exists()) << file.getPath();
  EXPECT_TRUE(outboxPackages().empty());
}

// Without a signing slot only a development unit opens containers: otherwise each one is refused
// with one ERROR, set aside unread, and nothing it holds is applied.
TEST_F(JobAppearedTest, WithoutASigningSlotOnlyADevelopmentUnitRunsContainers) {
  RunningApp app;
  app.services()->setSecurityService(std::make_shared<Security::SecurityService>());
  const File database(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName);
  for (const bool development : {false, true}) {
    SCOPED_TRACE(development);
    const ScopedTrustBoundaries trust({{}, {}, development});
    const std::string id = development ? "development" : "unit";
    const File job =
        makeJob(inboxFile(id + ".zip"), description("InstallZemDatabaseTaskDescription", id, "forceOverride=\"true\""),
                {{"ZEM_DATABASE", {"database.xml", databaseXml(entryXml("Job", valueXml("String", id)))}}});
    LogCapture log;
    EXPECT_EQ(app.announce(job.getPath()), 1);
    EXPECT_TRUE(waitUntil([&] { return !job.exists(); }));
    ASSERT_TRUE(queue()->waitIdle(10000));
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL), development ? 0u : 1u);
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "has no file and zem-host runs without --development"),
              development ? 0u : 1u);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "development mode"), development ? 1u : 0u);
    EXPECT_EQ(database.exists(), development);
    EXPECT_EQ(outboxPackages().size(), development ? 1u : 0u);
    EXPECT_EQ(File(Quarantine::folder()).listFiles().size(), 1u);
  }
}

TEST_F(JobAppearedTest, RestartQueuesWhatWaitsInTheInboxInListingOrderOnce) {
  { RunningApp first; }
  const File b = makeJob(inboxFile("b.zip"), description(kRequest, "second"));
  const File a = makeJob(inboxFile("a.zip"), description(kRequest, "first"));
  const File other = inboxFile("notes.txt"), poison = inboxFile("poison.zip");
  ASSERT_TRUE(other.writeAtomically("not a container"));
  writeFile(poison, "no zip");

  RunningApp::Options options;
  options.freshDevice = false;
  RunningApp restarted(options);
  // An announcement racing the start-up scan does not run a container a second time.
  restarted.announce(a.getPath());
  EXPECT_TRUE(waitUntil([&] { return !a.exists() && !b.exists(); }));
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_EQ(outboxPackages().size(), 2u);
  EXPECT_TRUE(other.isFile());
  std::vector<std::string> taskIds;
  for (const auto& finished : queue()->getReplayHistory()) {
    if (finished.id != "Zem Task") taskIds.push_back(finished.id);
  }
  EXPECT_EQ(taskIds, (std::vector<std::string>{"first", "second"}));
  // The poison container left the inbox for good: the next start-up does not meet it again.
  EXPECT_FALSE(poison.exists());
  EXPECT_EQ(File(Quarantine::folder()).listFiles().size(), 1u);
}

}  // namespace
