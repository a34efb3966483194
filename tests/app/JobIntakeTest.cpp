// Job intake: ProcessTaskRequest with every outcome of a container, the queue's hand-over of
// container paths, the "JobAppeared" servlet, and the start-up scan of the inbox.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AppTestEnvironment.h"
#include "Inbox.h"
#include "IpcDefinitions.h"
#include "PipelineTestSupport.h"
#include "ProcessTaskRequest.h"
#include "ZemApp.h"
#include "ZemJobAppearedIpcHandler.h"
#include "ZemTaskExecutionQueue.h"
#include "ZemTaskFactory.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/PosixFileOps.h"
#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XSDEnumException.h"

namespace {

using kest::testing::LogCapture;
using pipelinetest::description;
using pipelinetest::indexDocument;
using pipelinetest::makeContainer;
using pipelinetest::makeJob;

const char* const kCannotHandle = "Impossible to handle Zem Task request : ";

File inboxFile(const std::string& name) { return File(File(DevicePaths::inboxFolder()), name); }

// A container whose description entry climbs out of the extraction folder.
File makeRawContainerWithDotDot() {
  return pipelinetest::makeRawContainer(inboxFile("dotdot.zip"),
                                        {{"index.xml", indexDocument({{"TASK_REQUEST", "../task.xml"}})},
                                         {"../task.xml", description("RequestZemDatabaseTaskDescription", "x")}});
}

std::string readText(const File& file) {
  std::string text;
  file.readAll(&text);
  return text;
}

// ProcessTaskRequest against a queue without worker: each step is driven by the test.
class ProcessTaskRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pipelinetest::freshDevice();
    File(DevicePaths::inboxFolder()).mkdirs();
  }

  ZemTaskExecutionQueue queue_{nullptr, 10, false};
};

TEST_F(ProcessTaskRequestTest, ValidContainerQueuesItsTaskWhichDeletesTheContainer) {
  const File job = makeJob(inboxFile("job.zip"), description("RequestZemDatabaseTaskDescription", "q"));
  LogCapture log;
  ProcessTaskRequest request(queue_, nullptr, job.getPath());
  // It runs before every waiting job, and tells the host which container it handles.
  EXPECT_EQ(request.getPriority(), Task::HIGHEST);
  EXPECT_EQ(request.getSettings(), (std::map<std::string, std::string>{{"ZIP", job.getPath()}}));
  EXPECT_TRUE(request.execute());
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "New job enqueued: " + job.getPath()));
  EXPECT_EQ(queue_.pendingCount(), 1u);
  EXPECT_TRUE(job.exists());

  EXPECT_EQ(queue_.runPending(), 1u);
  EXPECT_FALSE(job.exists());
  ASSERT_EQ(pipelinetest::outboxPackages().size(), 1u);
  EXPECT_EQ(pipelinetest::readPackage(pipelinetest::outboxPackages()[0]).result->get_taskId(), "q");
}

TEST_F(ProcessTaskRequestTest, ArchivesThatDoNotOpenAreDeletedWithAWarning) {
  const File notZip = inboxFile("not-a-zip.zip");
  ASSERT_TRUE(notZip.writeAtomically("this is no zip archive"));
  const File truncated = makeJob(inboxFile("truncated.zip"), description("RequestZemDatabaseTaskDescription", "t"));
  const std::string bytes = readText(truncated);
  ASSERT_TRUE(truncated.writeAtomically(bytes.substr(0, bytes.size() / 2)));

  for (const File& container : {notZip, truncated}) {
    SCOPED_TRACE(container.getName());
    LogCapture log;
    EXPECT_FALSE(ProcessTaskRequest(queue_, nullptr, container.getPath()).execute());
    EXPECT_FALSE(container.exists());
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + container.getPath()));
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL, "Job definition will be deleted : " + container.getPath()), 1u);
  }
  EXPECT_EQ(queue_.pendingCount(), 0u);

  // Neither a missing file nor a folder is deleted.
  const File folder = inboxFile("folder.zip");
  ASSERT_TRUE(folder.mkdirs());
  LogCapture log;
  EXPECT_FALSE(ProcessTaskRequest(queue_, nullptr, folder.getPath()).execute());
  EXPECT_FALSE(ProcessTaskRequest(queue_, nullptr, inboxFile("absent.zip").getPath()).execute());
  EXPECT_TRUE(folder.isDirectory());
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), 0u);
}

TEST_F(ProcessTaskRequestTest, ContainerWithoutTaskStaysInTheInbox) {
  const std::vector<File> containers = {
      makeContainer(inboxFile("no-index.zip"), {{"task.xml", description("RequestZemDatabaseTaskDescription", "x")}}),
      makeContainer(inboxFile("no-request.zip"), {{"index.xml", indexDocument({{"ZEM_DATABASE", "db.xml"}})},
                                                  {"db.xml", pipelinetest::databaseDocument("a", "b")}}),
      makeJob(inboxFile("not-a-description.zip"),
              pipelinetest::document("ZemGlobalSettings",
                                     "<k:maximumDataSize>1</k:maximumDataSize>"
                                     "<k:replayHistorySize>1</k:replayHistorySize>")),
      makeJob(inboxFile("unknown-type.zip"), description("NoSuchZemTaskDescription", "x")),
      makeRawContainerWithDotDot(),
  };
  for (const File& container : containers) {
    SCOPED_TRACE(container.getName());
    LogCapture log;
    EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, container.getPath()).execute());
    EXPECT_TRUE(container.isFile());
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + container.getPath()), 1u);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), 0u);
  }
  // A registered type that is taken out of the registry behaves the same.
  auto& registry = Tasks::ZemTaskFactory::getMap();
  const auto saved = registry.at("ResetZemDatabaseTaskDescription");
  registry.erase("ResetZemDatabaseTaskDescription");
  const File unregistered = makeJob(inboxFile("unregistered.zip"), description("ResetZemDatabaseTaskDescription", "x"));
  EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, unregistered.getPath()).execute());
  registry.emplace("ResetZemDatabaseTaskDescription", saved);
  EXPECT_TRUE(unregistered.isFile());
  EXPECT_EQ(queue_.pendingCount(), 0u);
}

TEST_F(ProcessTaskRequestTest, UnknownEntryTypeLeavesExecuteAndKeepsTheContainer) {
  const File container =
      makeContainer(inboxFile("enum.zip"), {{"index.xml", indexDocument({{"Task_Request", "task.xml"}})},
                                            {"task.xml", description("RequestZemDatabaseTaskDescription", "x")}});
  ProcessTaskRequest request(queue_, nullptr, container.getPath());
  EXPECT_THROW(request.execute(), XSDEnumException);
  EXPECT_TRUE(container.isFile());
}

TEST_F(ProcessTaskRequestTest, TaskRefusedByTheQueueDeletesTheContainer) {
  const File job = makeJob(inboxFile("refused.zip"), description("RequestZemDatabaseTaskDescription", "r"));
  queue_.close();
  LogCapture log;
  EXPECT_TRUE(ProcessTaskRequest(queue_, nullptr, job.getPath()).execute());
  EXPECT_FALSE(job.exists());
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL,
                           "Impossible to enqueue task, task container will be deleted : " + job.getPath()));
  EXPECT_TRUE(pipelinetest::outboxPackages().empty());
}

TEST_F(ProcessTaskRequestTest, QueueTurnsHandedOverPathsIntoRequests) {
  const File job = makeJob(inboxFile("handed.zip"), description("RequestZemDatabaseTaskDescription", "h"));
  EXPECT_TRUE(queue_.addDtsiTask(job.getPath()));
  EXPECT_EQ(queue_.pendingCount(), 1u);
  EXPECT_EQ(queue_.runPending(), 2u);  // the request, then the task it built
  EXPECT_FALSE(job.exists());
  EXPECT_EQ(pipelinetest::outboxPackages().size(), 1u);
  const auto history = queue_.getReplayHistory();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].id, "Zem Task");
  EXPECT_EQ(history[1].id, "h");

  queue_.close();
  EXPECT_FALSE(queue_.addDtsiTask(job.getPath()));
}

TEST_F(ProcessTaskRequestTest, AContainerIsClaimedOnceUntilItsProcessingEnds) {
  const File job = makeJob(inboxFile("twice.zip"), description("RequestZemDatabaseTaskDescription", "t2"));
  LogCapture log;
  EXPECT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
  EXPECT_FALSE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
  EXPECT_FALSE(queue_.addDtsiTask(job.getPath()));
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL,
                      "Task container already queued or running, announcement ignored: " + job.getPath()),
            2u);
  EXPECT_EQ(queue_.runPending(), 2u);
  EXPECT_EQ(pipelinetest::outboxPackages().size(), 1u);
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
  const TempFile scratch("backlog");
  const File index(scratch.getFile(), "index.xml"), task(scratch.getFile(), "task.xml");
  ASSERT_TRUE(index.writeAtomically(indexDocument({{"TASK_REQUEST", "task.xml"}})));
  ASSERT_TRUE(task.writeAtomically(description("RequestZemDatabaseTaskDescription", "@ID@")));
  // One python run writes the whole backlog (task ids b0, b1, ...).
  ASSERT_EQ(
      pipelinetest::run(
          "python3 -c 'import sys,zipfile\n"
          "i,t,d,n=open(sys.argv[1]).read(),open(sys.argv[2]).read(),sys.argv[3],int(sys.argv[4])\n"
          "for k in range(n):\n"
          " z=zipfile.ZipFile(\"%s/c%05d.zip\"%(d,k),\"w\")\n"
          " z.writestr(\"index.xml\",i);z.writestr(\"task.xml\",t.replace(\"@ID@\",\"b%d\"%k));z.close()' " +
          index.getPath() + " " + task.getPath() + " " + DevicePaths::inboxFolder() + " " + std::to_string(count)),
      0);

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
    const File job = makeJob(inboxFile("retry.zip"), description("RequestZemDatabaseTaskDescription", "r"));
    ASSERT_TRUE(ProcessTaskRequest::submit(queue_, nullptr, job.getPath()));
    renameError = error;
    {
      const ScopedPosixFileOps seam(ops);
      EXPECT_EQ(queue_.runPending(), 2u);
    }
    EXPECT_TRUE(pipelinetest::outboxPackages().empty());
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
  const File job = makeJob(inboxFile("early.zip"), description("RequestZemDatabaseTaskDescription", "e"));
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

TEST_F(JobAppearedTest, AnnouncedContainerRunsToItsResultPackage) {
  pipelinetest::RunningApp app;
  const File job = makeJob(inboxFile("announced.zip"), description("RequestZemDatabaseTaskDescription", "a1"));
  LogCapture log;
  EXPECT_EQ(app.announce(job.getPath()), 1);
  EXPECT_TRUE(app.ipc().waitForSignal("ResultPlaced", std::chrono::seconds(10)));
  EXPECT_TRUE(pipelinetest::waitUntil([&] { return !job.exists(); }));
  EXPECT_EQ(pipelinetest::outboxPackages().size(), 1u);
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "got install location: " + job.getPath()));
  EXPECT_TRUE(log.contains(log4cplus::INFO_LOG_LEVEL, "New job enqueued: " + job.getPath()));
  const auto signals = app.ipc().signals();
  ASSERT_FALSE(signals.empty());
  EXPECT_EQ(signals.back().name, "ResultPlaced");
  EXPECT_EQ(signals.back().parameters.get<Ipc::IpcStringParameter>("location").getValue(),
            pipelinetest::outboxPackages()[0].getPath());
}

TEST_F(JobAppearedTest, UnreadableRequestAnswersZero) {
  pipelinetest::RunningApp app;
  LogCapture log;
  Ipc::IpcParameterSet integer;
  integer.add(std::make_unique<Ipc::IpcIntegerParameter>("jobLocation", 7));
  EXPECT_EQ(app.ipc().call("Zem", "JobAppeared", integer).get<Ipc::IpcIntegerParameter>("status").getValue(), 0);
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Problem during reception of the JobAppeared message"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"));

  EXPECT_EQ(app.ipc().call("Zem", "JobAppeared", {}).get<Ipc::IpcIntegerParameter>("status").getValue(), 0);
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_TRUE(queue()->getReplayHistory().empty());
}

TEST_F(JobAppearedTest, PathInAMissingFolderAnswersOneAndQueuesNothing) {
  pipelinetest::RunningApp app;
  const std::string path = apptest::sysroot() + "/no/such/folder/job.zip";
  LogCapture log;
  EXPECT_EQ(app.announce(path), 1);
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "The containing folder for the incoming package at " + path + " does not exist."),
            1u);
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_TRUE(queue()->getReplayHistory().empty());
  EXPECT_FALSE(log.contains(log4cplus::INFO_LOG_LEVEL, "New job enqueued: "));
}

TEST_F(JobAppearedTest, PathsOutsideTheInboxAreNeitherOpenedNorDeleted) {
  pipelinetest::RunningApp app;
  const File elsewhere(File(apptest::sysroot()), "elsewhere");
  ASSERT_TRUE(File(elsewhere, "sub").mkdirs());
  const File passwd(elsewhere, "passwd");
  ASSERT_TRUE(passwd.writeAtomically("root:x:0:0:root:/root:/bin/sh\n"));
  const File job = makeJob(File(elsewhere, "job.zip"), description("RequestZemDatabaseTaskDescription", "out"));
  const File link = inboxFile("link.zip");
  ASSERT_EQ(::symlink(job.getPath().c_str(), link.getPath().c_str()), 0);
  const File fifo = inboxFile("fifo.zip");
  ASSERT_EQ(::mkfifo(fifo.getPath().c_str(), 0600), 0);
  ASSERT_TRUE(inboxFile("sub").mkdirs());
  const File nested = makeJob(inboxFile("sub/nested.zip"), description("RequestZemDatabaseTaskDescription", "n"));
  const File dotted = makeJob(inboxFile("dotted.zip"), description("RequestZemDatabaseTaskDescription", "d"));

  const std::vector<std::string> paths = {passwd.getPath(),
                                          job.getPath(),
                                          link.getPath(),
                                          fifo.getPath(),
                                          nested.getPath(),
                                          DevicePaths::inboxFolder() + "/../INBOX/dotted.zip",
                                          DevicePaths::inboxFolder() + "/./dotted.zip",
                                          DevicePaths::inboxFolder() + "/"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    LogCapture log;
    EXPECT_EQ(app.announce(path), 1);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Refused the announced task container " + path));
    // A path handed over by the host is refused the same way.
    EXPECT_FALSE(ProcessTaskRequest(*queue(), nullptr, path).execute());
  }
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_TRUE(queue()->getReplayHistory().empty());
  for (const File& file : {passwd, job, link, fifo, nested, dotted}) EXPECT_TRUE(file.exists()) << file.getPath();
  EXPECT_TRUE(pipelinetest::outboxPackages().empty());
}

TEST_F(JobAppearedTest, ContainerOfUnknownTypeIsLoggedPerAttemptAndStays) {
  pipelinetest::RunningApp app;
  const File job = makeJob(inboxFile("unknown.zip"), description("NoSuchZemTaskDescription", "u"));
  LogCapture log;
  EXPECT_EQ(app.announce(job.getPath()), 1);
  EXPECT_TRUE(log.waitFor(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + job.getPath(), std::chrono::seconds(10)));
  EXPECT_TRUE(pipelinetest::waitUntil([] { return !Inbox::instance().isClaimed("unknown.zip"); }));
  EXPECT_EQ(app.announce(job.getPath()), 1);
  EXPECT_TRUE(pipelinetest::waitUntil(
      [&] { return log.count(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + job.getPath()) == 2; }));
  EXPECT_TRUE(job.isFile());
  EXPECT_TRUE(pipelinetest::outboxPackages().empty());
}

TEST_F(JobAppearedTest, RestartQueuesWhatWaitsInTheInboxInListingOrder) {
  { pipelinetest::RunningApp first; }
  const File b = makeJob(inboxFile("b.zip"), description("RequestZemDatabaseTaskDescription", "second"));
  const File a = makeJob(inboxFile("a.zip"), description("RequestZemDatabaseTaskDescription", "first"));
  const File other = inboxFile("notes.txt");
  ASSERT_TRUE(other.writeAtomically("not a container"));

  pipelinetest::RunningApp::Options options;
  options.freshDevice = false;
  pipelinetest::RunningApp restarted(options);
  // An announcement racing the start-up scan does not run a container a second time.
  restarted.announce(a.getPath());
  EXPECT_TRUE(pipelinetest::waitUntil([&] { return pipelinetest::outboxPackages().size() == 2; }));
  EXPECT_TRUE(pipelinetest::waitUntil([&] { return !a.exists() && !b.exists(); }));
  ASSERT_TRUE(queue()->waitIdle(10000));
  EXPECT_EQ(pipelinetest::outboxPackages().size(), 2u);
  EXPECT_TRUE(other.isFile());
  std::vector<std::string> taskIds;
  for (const auto& finished : queue()->getReplayHistory()) {
    if (finished.id != "Zem Task") taskIds.push_back(finished.id);
  }
  EXPECT_EQ(taskIds, (std::vector<std::string>{"first", "second"}));
}

TEST_F(JobAppearedTest, SignedContainersAreCheckedAgainstTheSigningSlot) {
  pipelinetest::RunningApp::Options options;
  options.securityService = true;
  pipelinetest::RunningApp app(options);
  const TempFile keysFolder("keys");
  const auto signer = pipelinetest::makeKeyPair(keysFolder.getFile(), "signer");
  const auto stranger = pipelinetest::makeKeyPair(keysFolder.getFile(), "stranger");
  ASSERT_TRUE(signer.certificate.copyTo(File(File(DevicePaths::certificateFolder()), "Cert2_Signing_CA")));

  const std::string task = description("InstallZemDatabaseTaskDescription", "signed");
  const std::string database = pipelinetest::databaseDocument("A.name", "signed");
  auto job = [&](const std::string& name, const std::string& taskSignature, const std::string& databaseSignature) {
    return makeContainer(inboxFile(name),
                         {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml", taskSignature},
                                                       {"ZEM_DATABASE", "db.xml", databaseSignature}})},
                          {"task.xml", task},
                          {"db.xml", database}});
  };

  // A description signed by someone else gives no task: the container waits in the inbox.
  const File badDescription = job("bad-description.zip", pipelinetest::sign(stranger, task), "");
  LogCapture log;
  EXPECT_EQ(app.announce(badDescription.getPath()), 1);
  EXPECT_TRUE(
      log.waitFor(log4cplus::ERROR_LOG_LEVEL, kCannotHandle + badDescription.getPath(), std::chrono::seconds(10)));
  EXPECT_TRUE(badDescription.isFile());

  // A good description with a payload that is not signed: the install fails and reports it.
  const File badPayload = job("bad-payload.zip", pipelinetest::sign(signer, task), "");
  EXPECT_EQ(app.announce(badPayload.getPath()), 1);
  EXPECT_TRUE(
      log.waitFor(log4cplus::ERROR_LOG_LEVEL, "Invalid ZEM database in Task Container!", std::chrono::seconds(10)));
  EXPECT_TRUE(pipelinetest::waitUntil([&] { return !badPayload.exists(); }));

  const File good = job("good.zip", pipelinetest::sign(signer, task), pipelinetest::sign(signer, database));
  EXPECT_EQ(app.announce(good.getPath()), 1);
  EXPECT_TRUE(log.waitFor(log4cplus::DEBUG_LOG_LEVEL, "Database loaded", std::chrono::seconds(10)));
  EXPECT_TRUE(pipelinetest::waitUntil([&] { return !good.exists(); }));
  ASSERT_TRUE(queue()->waitIdle(10000));
  const auto history = queue()->getReplayHistory();
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.back().id, "signed");
  EXPECT_TRUE(history.back().result);
}

}  // namespace
