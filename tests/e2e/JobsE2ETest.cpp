// Jobs through a real zem-host driven with "zemctl job ...": installs, hostile containers, signatures,
// zemctl without a unit; the one-command data, log-files, bus and backend jobs. What the plug-in does
// with each container is tested in tests/app.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "TestKms.h"
#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace zem_test;

constexpr auto kJobTimeout = std::chrono::seconds(30);
const std::string kRequest = "RequestZemDatabaseTaskDescription";

std::string database(const std::string& value) { return databaseXml(entryXml("Job", valueXml("String", value))); }

// The document as the schema library writes it: equal texts mean equal documents.
std::string canonical(const std::string& xml) {
  try {
    return xmldoc::toString(*xmldoc::parseString<Types::ConfigurationContent>(xml));
  } catch (const std::exception& e) {
    return std::string("unreadable: ") + e.what();
  }
}

class JobsE2ETest : public ZemHostFixture {
 protected:
  std::string unit(const std::string& relative) const { return sysroot() + "/media/olvane/" + relative; }
  std::string inbox() const { return unit("data/zem_app/INBOX"); }
  std::string storedDatabase() const { return unit("data/zem_app/STORE/database.xml"); }
  size_t quarantined() const {
    const std::string folder = unit("data/zem_app/QUARANTINE");
    return fs::exists(folder) ? std::distance(fs::directory_iterator(folder), fs::directory_iterator()) : 0;
  }
  std::string files() const { return workFolder() + "/files"; }
  std::string hostTmp() const { return workFolder() + "/host-tmp"; }

  void startUnit() {
    fs::create_directories(hostTmp());
    startHost({}, {{"TMPDIR", hostTmp()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }

  // Builds a container of a generated description with zemctl; returns its path.
  std::string buildJob(const std::string& type, const std::string& taskId, std::vector<std::string> extra = {}) {
    fs::create_directories(files());
    std::string out = files() + "/" + std::to_string(built_++) + ".zip";
    std::vector<std::string> args{"job", "build", "--type", type, "--task-id", taskId, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    const CommandResult r = zemctl(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }
  std::string install(const std::string& taskId, const std::string& value) {
    const File payload(files() + "/" + taskId + "/database.xml");
    writeFile(payload, database(value));
    return buildJob("InstallZemDatabaseTaskDescription", taskId,
                    {"--payload", "ZEM_DATABASE=" + payload.getPath(), "--force-override"});
  }
  // Submits `container`, expects the announcement to be taken, returns the path in the inbox.
  std::string submit(const std::string& container) {
    const CommandResult r = zemctl({"job", "submit", container});
    EXPECT_NE(r.out.find("\nstatus 1\n"), std::string::npos) << r.out << r.err;
    return r.out.rfind("submitted ", 0) == 0 ? r.out.substr(10, r.out.find('\n') - 10) : std::string();
  }
  CommandResult result(const std::string& taskId) { return zemctl({"job", "result", taskId, "--wait", "30"}); }
  void expectHealthy() {
    EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
    EXPECT_TRUE(waitUntil([&] { return fs::is_empty(hostTmp()); }, std::chrono::seconds(10)))
        << "temporary entries left by zem-host";
  }

  int built_ = 0;
};

TEST_F(JobsE2ETest, ADatabaseIsInstalledAndALongTaskIdStillFindsItsPackage) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  submit(install("inst-1", "first"));
  EXPECT_EQ(result("inst-1").exitCode, 0);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(database("first")));
  // A task id of 300 characters still gives a package that "job result" finds.
  const std::string longId(300, 'r');
  submit(buildJob(kRequest, longId));
  const CommandResult r = result(longId);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("result RequestZemDatabaseTaskResult\nsuccess true\n"), std::string::npos) << r.out;
  const auto start = r.out.find("package ") + 8;
  const std::string package = r.out.substr(start, r.out.find('\n', start) - start);
  EXPECT_EQ(canonical(capture("unzip -p '" + package + "' database.xml")), canonical(database("first")));
  EXPECT_NE(zemctl({"outbox", "list"}).out.find(" " + longId + "\n"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(inbox()));  // every task deleted its container
  expectHealthy();
}

// Hostile containers against the real process: one row each, and what becomes of it.
TEST_F(JobsE2ETest, HostileContainersAreQuarantinedOrFailTheirTaskAndNeverHurtTheHost) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  submit(install("baseline", "baseline"));
  ASSERT_EQ(result("baseline").exitCode, 0);
  const std::string stored = readFile(storedDatabase());
  const std::string request = description(kRequest, "broken");
  std::string dtd = request;
  dtd.insert(dtd.find("<k:config"), "<!DOCTYPE config [<!ENTITY boom \"boom\">]>\n");
  const auto index = [](const std::string& file) { return indexDocument({{"TASK_REQUEST", file}}); };
  // An install whose database entry is `name`, holding `content` and declaring `declared` bytes.
  const auto payload = [&](const std::string& id, const std::string& name, const std::string& content,
                           uint32_t declared = 0) {
    return std::vector<Entry>{
        {"index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}, {"ZEM_DATABASE", name}})},
        {"task.xml", description("InstallZemDatabaseTaskDescription", id, "forceOverride=\"true\"")},
        {name, content, false, false, declared}};
  };
  enum Outcome { kQuarantined, kTaskFails };
  struct Row {
    std::string name;
    std::vector<Entry> entries;
    Outcome outcome;
  };
  const std::vector<Row> rows = {
      {"dtd", {{"index.xml", index("task.xml")}, {"task.xml", dtd}}, kQuarantined},
      {"dotdot", {{"index.xml", index("../escaped.xml")}, {"../escaped.xml", request}}, kQuarantined},
      {"link", {{"index.xml", index("task.xml")}, {"task.xml", "/etc/hostname", true}}, kQuarantined},
      {"bomb", payload("bomb", "database.xml", database(std::string(200000, 'x')), 1000), kTaskFails},
      {"entity", payload("entity", "database.xml", dtd), kTaskFails},
      {"payload-absolute", payload("payload-absolute", files() + "/db.xml", database("x")), kTaskFails},
      {"huge", payload("huge", "database.xml", database(std::string(50 << 20, 'x'))), kTaskFails},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const File built(files() + "/" + row.name + ".zip");
    makeZip(built, row.entries);
    const size_t before = quarantined();
    const std::string container = submit(built.getPath());
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(container); }, kJobTimeout));
    EXPECT_EQ(quarantined(), before + (row.outcome == kQuarantined ? 1 : 0));
    if (row.outcome == kTaskFails) {
      EXPECT_EQ(result(row.name).exitCode, 3);
      EXPECT_EQ(readFile(storedDatabase()), stored);
    }
    expectHealthy();
  }
  EXPECT_EQ(zemctl({"job", "result", "broken"}).exitCode, 2);
  EXPECT_FALSE(fs::exists(hostTmp() + "/escaped.xml"));
  EXPECT_FALSE(fs::exists(files() + "/db.xml"));
}

TEST_F(JobsE2ETest, SignaturesOfDescriptionsAndPayloadsAreCheckedWhenTheSigningSlotHoldsACertificate) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  const KeyPair &ca = rsaKeys(), &stranger = otherRsaKeys();
  writeFile(File(unit("certs/Cert2_Signing_CA")), readFile(ca.certificate));
  writeFile(File(unit("certs/device.key")), readFile(stranger.key));  // result packages are signed too

  // A container made with `openssl` and `zip` only: signed entries, index written by hand.
  const auto opensslJob = [&](const std::string& name, const KeyPair& descriptionKey, const KeyPair& payloadKey) {
    const File folder(files() + "/" + name), task(folder, "task.xml"), payload(folder, "database.xml");
    writeFile(task, description("InstallZemDatabaseTaskDescription", name, "forceOverride=\"true\""));
    writeFile(payload, database(name));
    const auto oneLine = [](std::string text) {
      text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
      return text;
    };
    writeFile(File(folder, "index.xml"),
              indexDocument({{"TASK_REQUEST", "task.xml", oneLine(sign(descriptionKey, task))},
                             {"ZEM_DATABASE", "database.xml", oneLine(sign(payloadKey, payload))}}));
    EXPECT_EQ(run("cd '" + folder.getPath() + "' && zip -q ../" + name + ".zip index.xml task.xml database.xml"), 0);
    return folder.getPath() + ".zip";
  };
  submit(opensslJob("openssl-signed", ca, ca));
  EXPECT_EQ(result("openssl-signed").exitCode, 0);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(database("openssl-signed")));

  // A description unsigned or signed by another key builds no task and gives no trusted task id:
  // the container is quarantined. A payload signed by another key fails the task, which deletes
  // the container. A job signed by zemctl with the right key runs.
  const std::string unsignedJob = submit(buildJob(kRequest, "unsigned"));
  const std::string foreign = submit(opensslJob("foreign-description", stranger, ca));
  const std::string badPayload = submit(opensslJob("foreign-payload", ca, stranger));
  EXPECT_EQ(result("foreign-payload").exitCode, 3);
  EXPECT_FALSE(fs::exists(badPayload));
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(database("openssl-signed")));
  submit(buildJob(kRequest, "signed-barrier", {"--key", ca.key.getPath()}));
  EXPECT_EQ(result("signed-barrier").exitCode, 0);
  EXPECT_FALSE(fs::exists(unsignedJob));
  EXPECT_FALSE(fs::exists(foreign));
  EXPECT_EQ(quarantined(), 2u);
  expectHealthy();
}

// A unit without a signing slot and without --development refuses every container and applies
// nothing (one ERROR each: JobIntakeTest); seeded with `seed-device --signing-cert`, it runs a container signed with
// that certificate's key.
TEST_F(JobsE2ETest, OnlyASeededSigningSlotOrDevelopmentModeLetsContainersRun) {
  setTrustedHost(false);
  ASSERT_NO_FATAL_FAILURE(startUnit());
  const std::string stored = readFile(storedDatabase());
  const std::string refused = submit(install("no-slot", "no-slot"));
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(refused); }, kJobTimeout));
  EXPECT_EQ(quarantined(), 1u);
  EXPECT_EQ(readFile(storedDatabase()), stored);
  EXPECT_EQ(zemctl({"job", "result", "no-slot"}).exitCode, 2) << "no package for a refused container";
  EXPECT_NE(readFile(hostStderr()).find("has no file and zem-host runs without --development"), std::string::npos);

  ASSERT_TRUE(stopHost(SIGTERM));
  const CommandResult seeded = runCommand(
      {"bash", ZEM_SEED_DEVICE, "--signing-cert", rsaKeys().certificate.getPath(), sysroot()}, {}, workFolder());
  ASSERT_EQ(seeded.exitCode, 0) << seeded.err;
  ASSERT_NO_FATAL_FAILURE(startUnit());
  submit(buildJob(kRequest, "signed", {"--key", rsaKeys().key.getPath()}));
  EXPECT_EQ(result("signed").exitCode, 0);
  EXPECT_EQ(readFile(hostStderr()).find("development mode"), std::string::npos);
  expectHealthy();
}

// zemctl without a running unit: exit codes tell usage errors, an absent service and an absent bus
// apart; a submission is refused without an inbox, else waits in the inbox (under a free name:
// InboxPlacementTest).
TEST_F(JobsE2ETest, ZemctlWithoutARunningUnitTellsItsErrorsApartAndSubmissionsWait) {
  CommandResult r = zemctl({"log-level", "set", "4"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("com.olvane.ZEM_APP is not running on the session bus"), std::string::npos) << r.err;
  r = zemctl({"ping"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + workFolder() + "/no-bus-here"}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot connect to the session bus"), std::string::npos) << r.err;
  r = zemctl({"log-level", "set", "four"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("zemctl: "), std::string::npos);
  const std::string container = buildJob(kRequest, "lonely");
  r = zemctl({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  fs::create_directories(inbox());
  r = zemctl({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("is not running"), std::string::npos) << r.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(inbox()), fs::directory_iterator()), 1);
}

using DataJobsE2ETest = ZemHostFixture;

// One unit whose configuration holds one bus property runs a data install, a data request, a
// log-files request and bus updates, one of them refused.
TEST_F(DataJobsE2ETest, DataLogsAndBusJobsRunFromOneZemctlCommandEach) {
  const std::string extraLogFolder = workFolder() + "/extra";
  writeFile(File(sysroot() + "/media/olvane/configs/zem_app/config.xml"),
            document("ProvisioningConfig",
                     groupXml("BUS", {},
                              propertyXml("IntegerPropertyAdapter", "propertyName=\"Bitrate\"",
                                          "PersistedIntegerPropertyOrigin", "<k:key>BUS.Bitrate</k:key>"))));
  startHost({"--log-dir", extraLogFolder}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  const auto expectHas = [](const CommandResult& r, const std::vector<std::string>& fragments) {
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const std::string& fragment : fragments) EXPECT_NE(r.out.find(fragment), std::string::npos) << r.out;
  };

  // A data install replaces the settings; a data request sends them with the log extract.
  const File good(workFolder() + "/good/settings.xml");
  writeFile(good, document("ZemGlobalSettings",
                           "<k:maximumDataSize>2048</k:maximumDataSize><k:replayHistorySize>4</k:replayHistorySize>"));
  expectHas(zemctl({"data", "install", "--task-id", "inst-1", good.getPath()}), {"success true"});
  EXPECT_EQ(readFile(sysroot() + "/media/olvane/data/zem_app/settings.xml"), readFile(good.getPath()));
  expectHas(zemctl({"data", "request", "ZEM_EVENT_LOG", "ZEM_GLOBAL_SETTINGS"}),
            {"taskId zemctl-", "result RequestZemDataTaskResult", "entry ZEM_EVENT_LOG LOGS/zemlog.txt ",
             "entry ZEM_GLOBAL_SETTINGS settings.xml "});
  EXPECT_EQ(zemctl({"data", "request", "NOT_A_TYPE"}).exitCode, 3);

  // A log-files request packs the system log and the named files of the log folders, nothing else.
  const File extra(extraLogFolder + "/app.log"), unit(sysroot() + "/cache/var/log/unit.log"),
      outside(workFolder() + "/outside/secret.log");
  writeFile(extra, "one line of an application log\n");
  writeFile(unit, "unit\n");
  writeFile(outside, "secret\n");
  const CommandResult logs = zemctl({"logs", "request", "--task-id", "logs-1", extra.getPath(),
                                     extraLogFolder + "/missing.log", unit.getPath(), outside.getPath()});
  expectHas(logs, {"/OUTBOX/OBU.LOGFILES_logs-1_", "entry ZEM_EVENT_LOG LOGS/app.log 31\n",
                   "entry ZEM_EVENT_LOG LOGS/unit.log 5\n", "entry ZEM_EVENT_LOG LOGS/syslog.txt "});
  EXPECT_EQ(logs.out.find("secret.log"), std::string::npos) << logs.out;

  // A bus update writes the properties and re-applies the bus; a refused write re-applies nothing.
  const CommandResult applied = zemctl({"bus", "update", "BUS.Bitrate=integer:250000", "--task-id", "bus-1"});
  EXPECT_EQ(applied.exitCode, 0) << applied.err;
  EXPECT_EQ(applied.out, "task bus-1\nsuccess true\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  const size_t reapplied = readFile(hostStderr()).find("Bus configuration re-applied");
  EXPECT_NE(reapplied, std::string::npos);
  const CommandResult refused = zemctl({"bus", "update", "BUS.Bitrate=string:fast", "--task-id", "bus-2"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.out,
            "task bus-2\nsuccess false\nerrorType 7\nerrorMessage Impossible to update property BUS.Bitrate\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  EXPECT_EQ(readFile(hostStderr()).find("Bus configuration re-applied", reapplied + 1), std::string::npos);
}

std::string backendConfigXml(const TestKms& kms) {
  const auto prop = [](const std::string& name, const std::string& origin, const std::string& body) {
    return propertyXml("StringPropertyAdapter", "propertyName=\"" + name + "\"", origin + "PropertyOrigin", body);
  };
  const auto literal = [&](const std::string& name, const std::string& value) {
    return prop(name, "StringLiteral", "<k:value>" + value + "</k:value>");
  };
  return document("ProvisioningConfig",
                  prop("CONNECTIVITY.ACTIVE_BACKEND_PROFILE", "TqlBackendConfig",
                       "<k:key>backend.profile</k:key><k:configPath>connectivity.properties</k:configPath>") +
                      prop("CONNECTIVITY.prod.TLS_CLIENT_CERTIFICATE", "Certificate",
                           "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
                      literal("CONNECTIVITY.prod.ROOT_CA_IDENTIFIER", "TestCA") +
                      literal("CONNECTIVITY.prod.KMS_URL_CERTIFICATE_REQUEST", kms.url("/request")) +
                      literal("CONNECTIVITY.prod.KMS_URL_RENEWAL_REQUEST", kms.url("/renew")) +
                      prop("CONNECTIVITY.prod.BACKEND_URL", "PersistedString", "<k:key>backend.prod.url</k:key>"));
}

using BackendJobsE2ETest = ZemHostFixture;

// The unit obtains a client certificate that chains to the KMS's CA and switches its profile link
// (refusals: the task tests). libcurl and libcrypto are loaded by that first exchange: the idle
// daemon maps neither, nor libzip and the libbz2 it links.
TEST_F(BackendJobsE2ETest, ASwitchObtainsACertificateOfTheKmsCaAndMovesTheProfileLink) {
  TestKms kms;
  const std::string root = sysroot() + "/media/olvane";
  writeFile(File(root + "/configs/zem_app/config.xml"), backendConfigXml(kms));
  writeFile(File(root + "/configs/zem_app/database.xml"),
            databaseXml(entryXml("backend.profile", valueXml("String", "dev"))));
  writeFile(File(root + "/data/tql_app/dev.prs"), "prm.manager.url=http://old.example\n");
  const std::string link = root + "/data/tql_app/connectivity.properties";
  ASSERT_EQ(::symlink("dev.prs", link.c_str()), 0);
  startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  const auto maps = [&](const std::string& library) {
    return readFile("/proc/" + std::to_string(host()->pid()) + "/maps").find("/" + library) != std::string::npos;
  };
  for (const char* library : {"libcurl", "libcrypto", "libzip", "libbz2"}) EXPECT_FALSE(maps(library)) << library;

  const std::vector<std::string> command = {"backend", "switch", "prod",
                                            "CONNECTIVITY.prod.BACKEND_URL=string:" + kms.url("/")};
  const CommandResult switched = zemctl(command);
  EXPECT_EQ(switched.exitCode, 0) << switched.out << switched.err << readFile(hostStderr());
  EXPECT_NE(switched.out.find("success true\n"), std::string::npos) << switched.out;
  EXPECT_TRUE(kms.issued(readFile(File(root + "/certs/Cert0_Client_Target"))));
  EXPECT_EQ(readFile(File(root + "/data/tql_app/prod.prs")), "prm.manager.url=" + kms.url("/") + "\n");
  char target[64] = {0};
  EXPECT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "prod.prs");

  EXPECT_EQ(kms.paths(), (std::vector<std::string>{"/request"}));
  for (const char* library : {"libcurl", "libcrypto", "libzip", "libbz2"}) EXPECT_TRUE(maps(library)) << library;
}

}  // namespace
