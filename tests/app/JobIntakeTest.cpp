// Job intake: ProcessTaskRequest with every outcome of a container, claims, descriptors and
// retries of a backlog, the "JobAppeared" servlet and its answers, and the start-up scan.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "Inbox.h"
#include "IpcDefinitions.h"
#include "ProcessTaskRequest.h"
#include "RunningApp.h"
#include "ZemApp.h"
#include "ZemJobAppearedIpcHandler.h"
#include "ZemTaskExecutionQueue.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/PosixFileOps.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XSDEnumException.h"

namespace {

using namespace apptest;
using kest::testing::LogCapture;

const char* const kCannotHandle = "Impossible to handle Zem Task request : ";
const std::string kRequest = "RequestZemDatabaseTaskDescription";

// ProcessTaskRequest against a queue without worker: each step is driven by the test.
class ProcessTaskRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freshDevice();
    File(DevicePaths::inboxFolder()).mkdirs();
  }

  ZemTaskExecutionQueue queue_{nullptr, 10, false};
};

// The ProcessTaskRequest outcomes: one row per kind of container, with what execute() answers,
// whether the container is still there afterwards, and whether a task was queued.
TEST_F(ProcessTaskRequestTest, EachKindOfContainerHasItsOutcome) {
  const auto job = [](const std::string& name) { return makeJob(inboxFile(name), description(kRequest, "q")); };
  const File notZip = inboxFile("not-a-zip.zip");
  ASSERT_TRUE(notZip.writeAtomically("this is no zip archive"));
  const File truncated = job("truncated.zip");
  std::string bytes;
  truncated.readAll(&bytes);
  ASSERT_TRUE(truncated.writeAtomically(bytes.substr(0, bytes.size() / 2)));
  ASSERT_TRUE(inboxFile("folder.zip").mkdirs());
  const File elsewhere = makeJob(File(freshFolder("elsewhere"), "job.zip"), description(kRequest, "e"));
  const std::string task = description(kRequest, "x"), database = databaseXml(entryXml("a", valueXml("String", "b")));
  makeZip(inboxFile("no-index.zip"), {{"task.xml", task}});
  makeZip(inboxFile("no-request.zip"),
          {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"}})}, {"db.xml", database}});
  makeZip(inboxFile("index-not-an-index.zip"), {{"index.xml", task}, {"task.xml", task}});
  makeJob(inboxFile("not-a-description.zip"), database);
  makeJob(inboxFile("unknown-type.zip"), description("NoSuchZemTaskDescription", "x"));
  makeZip(inboxFile("dotdot.zip"), {{"index.xml", indexDocument({{"TASK_REQUEST", "../t.xml"}})}, {"../t.xml", task}});
  makeZip(inboxFile("enum.zip"), {{"index.xml", indexDocument({{"Task_Request", "task.xml"}})}, {"task.xml", task}});

  struct Row {
    std::string path;
    int result;  // execute(): 1 true, 0 false, -1 throws XSDEnumException
    bool kept;
    const char* log;  // a line logged for the container: "E" the ERROR, "W" also the WARN of its deletion
    size_t queued;
  };
  const std::vector<Row> rows = {
      {job("valid.zip").getPath(), 1, true, "", 1},
      {notZip.getPath(), 0, false, "W", 0},
      {truncated.getPath(), 0, false, "W", 0},
      {inboxFile("folder.zip").getPath(), 0, true, "E", 0},
      {inboxFile("absent.zip").getPath(), 0, false, "E", 0},
      {elsewhere.getPath(), 0, true, "E", 0},
      {inboxFile("no-index.zip").getPath(), 1, true, "E", 0},
      {inboxFile("no-request.zip").getPath(), 1, true, "E", 0},
      {inboxFile("index-not-an-index.zip").getPath(), 1, true, "E", 0},
      {inboxFile("not-a-description.zip").getPath(), 1, true, "E", 0},
      {inboxFile("unknown-type.zip").getPath(), 1, true, "E", 0},
      {inboxFile("dotdot.zip").getPath(), 1, true, "E", 0},
      {inboxFile("enum.zip").getPath(), -1, true, "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    LogCapture log;
    ProcessTaskRequest request(queue_, nullptr, row.path);
    if (row.result < 0) {
      EXPECT_THROW(request.execute(), XSDEnumException);
    } else {
      EXPECT_EQ(request.execute(), row.result == 1);
    }
    EXPECT_EQ(File(row.path).exists(), row.kept);
    EXPECT_EQ(queue_.pendingCount(), row.queued);
    EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "New job enqueued: " + row.path));
    const std::string logged(row.log);
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + row.path), logged.empty() ? 0u : 1u);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "Job definition will be deleted : " + row.path),
              logged == "W" ? 1u : 0u);
    if (row.queued > 0) {
      EXPECT_EQ(queue_.runPending(), row.queued);  // the task deletes its container and reports
      EXPECT_FALSE(File(row.path).exists());
      EXPECT_EQ(readPackage(outboxPackages().at(0)).result->get_taskId(), "q");
    }
  }
  // A task that the queue refuses: its container is deleted.
  const File refused = job("refused.zip");
  queue_.close();
  LogCapture log;
  EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, refused.getPath()).execute());
  EXPECT_FALSE(refused.exists());
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL,
                           "Impossible to enqueue task, task container will be deleted : " + refused.getPath()));
}

TEST_F(ProcessTaskRequestTest, TheQueueTurnsHandedOverPathsIntoRequestsThatRunFirst) {
  const File job = makeJob(inboxFile("handed.zip"), description(kRequest, "h"));
  EXPECT_TRUE(queue_.addDtsiTask(job.getPath()));
  EXPECT_EQ(queue_.runPending(), 2u);  // the request, then the task it built
  const auto history = queue_.getReplayHistory();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].id, "Zem Task");
  EXPECT_EQ(history[1].id, "h");
  queue_.close();
  EXPECT_FALSE(queue_.addDtsiTask(job.getPath()));
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
  EXPECT_FALSE(Inbox::instance().isClaimed("twice.zip"));

  // A container that yields no task stays, unclaimed: a later announcement is taken.
  const File unknown = makeJob(inboxFile("unknown.zip"), description("NoSuchZemTaskDescription", "u"));
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, unknown.getPath()));
  EXPECT_EQ(queue_.runPending(), 1u);
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, unknown.getPath()));
  // A request or task destroyed unrun (closed queue) ends its claim too.
  queue_.close();
  EXPECT_FALSE(Inbox::instance().isClaimed("unknown.zip"));
}

// Containers of the backlog test: 5,000, or ZEM_BACKLOG_CONTAINERS (the ASan build uses fewer).
size_t backlogSize() {
  const char* value = std::getenv("ZEM_BACKLOG_CONTAINERS");
  return value != nullptr && std::atoi(value) > 0 ? static_cast<size_t>(std::atoi(value)) : 5000;
}

TEST_F(ProcessTaskRequestTest, ABacklogBeyondTheDescriptorLimitGivesOnePackagePerContainer) {
  const size_t count = backlogSize();
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
    EXPECT_FALSE(Inbox::instance().isClaimed("retry.zip"));
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
// None of them opens, runs or deletes anything; a container in the inbox then runs as usual.
TEST_F(JobAppearedTest, RequestsAnswerTheirStatusAndTouchNothingOutsideTheInbox) {
  RunningApp app;
  const File elsewhere = freshFolder("elsewhere");
  const File passwd(elsewhere, "passwd");
  ASSERT_TRUE(passwd.writeAtomically("root:x:0:0:root:/root:/bin/sh\n"));
  const File job = makeJob(File(elsewhere, "job.zip"), description(kRequest, "out"));
  const File link = inboxFile("link.zip"), fifo = inboxFile("fifo.zip");
  ASSERT_EQ(::symlink(job.getPath().c_str(), link.getPath().c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.getPath().c_str(), 0600), 0);
  const File nested = makeJob(inboxFile("sub/nested.zip"), description(kRequest, "n"));
  const File dotted = makeJob(inboxFile("dotted.zip"), description(kRequest, "d"));
  const std::string refused = "Refused the announced task container ";
  const std::string missing = DevicePaths::sysroot() + "/no/such/folder/job.zip";

  struct Row {
    std::string path;  // "<integer>": the parameter as an integer; "<none>": no parameter
    int64_t status;
    std::string error;
  };
  const std::string inbox = DevicePaths::inboxFolder();
  const std::vector<Row> rows = {
      {"<integer>", 0, "Parameter does not have the right type: jobLocation"},
      {"<none>", 0, "Problem during reception of the JobAppeared message"},
      {missing, 1, "The containing folder for the incoming package at " + missing + " does not exist."},
      {passwd.getPath(), 1, refused + passwd.getPath()},
      {job.getPath(), 1, refused + job.getPath()},
      {link.getPath(), 1, refused + link.getPath()},
      {fifo.getPath(), 1, refused + fifo.getPath()},
      {nested.getPath(), 1, refused + nested.getPath()},
      {inbox + "/../INBOX/dotted.zip", 1, refused + inbox + "/../INBOX/dotted.zip"},
      {inbox + "/./dotted.zip", 1, refused + inbox + "/./dotted.zip"},
      {inbox + "/", 1, refused + inbox + "/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    LogCapture log;
    Ipc::IpcParameterSet in;
    if (row.path == "<integer>") in.add(std::make_unique<Ipc::IpcIntegerParameter>("jobLocation", 7));
    if (row.path[0] != '<') in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", row.path));
    EXPECT_EQ(app.ipc().call("Zem", "JobAppeared", in).get<Ipc::IpcIntegerParameter>("status").getValue(), row.status);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << log.dump();
    // A path handed over by the host is refused the same way.
    if (row.error.find(refused) == 0) {
      EXPECT_FALSE(ProcessTaskRequest(*queue(), nullptr, row.path).execute());
    }
  }
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_TRUE(queue()->getReplayHistory().empty());
  for (const File& file : {passwd, job, link, fifo, nested, dotted}) EXPECT_TRUE(file.exists()) << file.getPath();
  EXPECT_TRUE(outboxPackages().empty());

  LogCapture log;
  EXPECT_EQ(app.announce(dotted.getPath()), 1);
  EXPECT_TRUE(app.ipc().waitForSignal("ResultPlaced", std::chrono::seconds(10)));
  EXPECT_TRUE(waitUntil([&] { return !dotted.exists(); }));
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "got install location: " + dotted.getPath()));
  const auto signals = app.ipc().signals();
  ASSERT_EQ(outboxPackages().size(), 1u);
  EXPECT_EQ(signals.back().parameters.get<Ipc::IpcStringParameter>("location").getValue(),
            outboxPackages()[0].getPath());
}

TEST_F(JobAppearedTest, RestartQueuesWhatWaitsInTheInboxInListingOrderOnce) {
  { RunningApp first; }
  const File b = makeJob(inboxFile("b.zip"), description(kRequest, "second"));
  const File a = makeJob(inboxFile("a.zip"), description(kRequest, "first"));
  const File other = inboxFile("notes.txt");
  ASSERT_TRUE(other.writeAtomically("not a container"));

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
}

}  // namespace
