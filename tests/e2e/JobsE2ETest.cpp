// Jobs through a real zem-host on a seeded temporary sysroot, driven with "zemctl job ...": the
// database tasks, every container refusal (one table: deleted, kept in the inbox, or a failed
// task; after each row zem-host still answers Ping and its private TMPDIR is empty), signature
// checks with a certificate in the signing slot, the "JobAppeared" answers, a restart that picks
// up the inbox, and zemctl's refusals. Hostile containers come from python's zipfile.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "ZemHostFixture.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace fs = std::filesystem;
namespace Types = Sarnet_Configuration::Types;

constexpr auto kJobTimeout = std::chrono::seconds(30);

std::string document(const std::string& type, const std::string& attributes, const std::string& body = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:" +
         type + "\"" + (attributes.empty() ? "" : " " + attributes) + ">" + body + "</k:content></k:config>\n";
}

std::string databaseDocument(const std::string& value) {
  return document("PersistedDatabase", "",
                  "<k:data><k:entry><k:key>Job</k:key><k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>" +
                      value + "</k:stringValue></k:value></k:entry></k:data>");
}

std::string indexDocument(const std::vector<std::vector<std::string>>& entries) {
  std::string body;
  for (const auto& entry : entries) {
    body += "<k:taskIndexEntry><k:type>" + entry.at(0) + "</k:type><k:file>" + entry.at(1) + "</k:file>" +
            (entry.size() > 2 ? "<k:signature>" + entry[2] + "</k:signature>" : "") + "</k:taskIndexEntry>";
  }
  return document("TaskIndex", "", body);
}

void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The document as the schema library writes it: equal texts mean equal documents.
std::string canonical(const std::string& xml) {
  try {
    return xmldoc::toString(*xmldoc::parseString<Types::ConfigurationContent>(xml));
  } catch (const std::exception& e) {
    return std::string("unreadable: ") + e.what();
  }
}

// python's zipfile writes ARGV[1] from (name, source file, declared) triples: declared "link"
// stores a symbolic link, a number the uncompressed size both headers claim, "-" the truth.
const char* const kRawZipScript =
    "import struct, sys, zipfile\n"
    "target, entries = sys.argv[1], list(zip(*[iter(sys.argv[2:])] * 3))\n"
    "with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:\n"
    "    for name, source, declared in entries:\n"
    "        info = zipfile.ZipInfo(name)\n"
    "        if declared == 'link':\n"
    "            info.create_system, info.external_attr = 3, 0o120777 << 16\n"
    "        z.writestr(info, open(source, 'rb').read(), compress_type=zipfile.ZIP_DEFLATED)\n"
    "data = bytearray(open(target, 'rb').read())\n"
    "with zipfile.ZipFile(target) as z:\n"
    "    offsets = {i.filename: i.header_offset for i in z.infolist()}\n"
    "for name, source, declared in entries:\n"
    "    if declared.isdigit():\n"
    "        struct.pack_into('<I', data, offsets[name] + 22, int(declared))\n"
    "        pos = data.find(b'PK\\x01\\x02')\n"
    "        while pos >= 0:\n"
    "            length = struct.unpack_from('<H', data, pos + 28)[0]\n"
    "            if data[pos + 46:pos + 46 + length].decode('utf-8') == name:\n"
    "                struct.pack_into('<I', data, pos + 24, int(declared))\n"
    "            pos = data.find(b'PK\\x01\\x02', pos + 4)\n"
    "open(target, 'wb').write(data)\n";

struct RawEntry {
  std::string name;
  std::string content;
  std::string declared = "-";  // "-", "link", or the size both headers claim
};

class JobsE2ETest : public ZemHostFixture {
 protected:
  std::string unit(const std::string& relative) const { return sysroot() + "/media/olvane/" + relative; }
  std::string inbox() const { return unit("data/zem_app/INBOX"); }
  std::string storedDatabase() const { return unit("data/zem_app/STORE/database.xml"); }
  std::string files() const { return workFolder() + "/files"; }
  std::string hostTmp() const { return workFolder() + "/host-tmp"; }

  // Starts zem-host with its own TMPDIR and waits until it is ready.
  void startUnit() {
    fs::create_directories(hostTmp());
    startHost({}, {{"TMPDIR", hostTmp()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }
  CommandResult job(const std::vector<std::string>& args) { return zemctl(args, {{"ZEM_SYSROOT", sysroot()}}); }
  CommandResult shell(const std::string& line) {
    fs::create_directories(files());
    return runCommand({"bash", "-c", "cd '" + files() + "' && " + line}, {}, workFolder());
  }

  // Builds a container of a generated description with zemctl; returns its path.
  std::string buildJob(const std::string& type, const std::string& taskId, std::vector<std::string> extra = {}) {
    fs::create_directories(files());
    const std::string out = files() + "/" + std::to_string(built_++) + ".zip";
    std::vector<std::string> args{"job", "build", "--type", type, "--task-id", taskId, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    const CommandResult r = job(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }
  std::string install(const std::string& taskId, const std::string& value, bool force = true) {
    writeFile(files() + "/" + taskId + "/database.xml", databaseDocument(value));
    std::vector<std::string> extra{"--payload", "ZEM_DATABASE=" + files() + "/" + taskId + "/database.xml"};
    if (force) extra.push_back("--force-override");
    return buildJob("InstallZemDatabaseTaskDescription", taskId, extra);
  }
  // Submits `container`, expects the announcement to be taken, returns the path in the inbox.
  std::string submit(const std::string& container) {
    const CommandResult r = job({"job", "submit", container});
    EXPECT_NE(r.out.find("\nstatus 1\n"), std::string::npos) << r.out << r.err;
    return r.out.rfind("submitted ", 0) == 0 ? r.out.substr(10, r.out.find('\n') - 10) : std::string();
  }
  CommandResult result(const std::string& taskId) { return job({"job", "result", taskId, "--wait", "30"}); }
  // A request job that must come back: every container announced before it has been handled.
  void barrier() {
    const std::string id = "barrier-" + std::to_string(built_);
    submit(buildJob("RequestZemDatabaseTaskDescription", id));
    EXPECT_NE(result(id).exitCode, 2) << "zem-host stopped serving jobs";
  }
  std::string makeRawZip(const std::string& name, const std::vector<RawEntry>& entries) {
    std::vector<std::string> command{"python3", "-c", kRawZipScript, files() + "/" + name};
    for (const RawEntry& entry : entries) {
      const std::string source = files() + "/raw-" + name + "-" + std::to_string(command.size());
      writeFile(source, entry.content);
      command.insert(command.end(), {entry.name, source, entry.declared});
    }
    EXPECT_EQ(runCommand(command, {}, workFolder()).exitCode, 0);
    return files() + "/" + name;
  }
  // Ping still answers 2 and zem-host's TMPDIR is (or soon becomes) empty.
  void expectHealthy() {
    EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
    EXPECT_TRUE(waitUntil([&] { return fs::is_empty(hostTmp()); }, std::chrono::seconds(10)))
        << "temporary entries left by zem-host";
  }

  int built_ = 0;
};

TEST_F(JobsE2ETest, DatabaseIsInstalledRequestedOverriddenAndResetByJobs) {
  fs::remove(unit("configs/zem_app/database.xml"));  // no factory default: no database until installed
  ASSERT_NO_FATAL_FAILURE(startUnit());
  submit(buildJob("RequestZemDatabaseTaskDescription", "req-none"));
  CommandResult r = result("req-none");
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.out.find("taskId req-none\nresult RequestZemDatabaseTaskResult\nsuccess false\n"), std::string::npos);
  EXPECT_NE(r.out.find("entry TASK_RESULT result.xml "), std::string::npos) << r.out;

  submit(install("inst-1", "first", false));
  r = result("inst-1");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("first")));
  // A task id of 300 characters still gives a package that "job result" finds.
  const std::string longId(300, 'r');
  submit(buildJob("RequestZemDatabaseTaskDescription", longId));
  r = result(longId);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("entry ZEM_DATABASE database.xml "), std::string::npos) << r.out;
  const auto start = r.out.find("package ") + 8;
  EXPECT_EQ(
      canonical(shell("unzip -p '" + r.out.substr(start, r.out.find('\n', start) - start) + "' database.xml").out),
      canonical(databaseDocument("first")));

  submit(install("inst-2", "second", false));  // without forceOverride: refused, the first stays
  EXPECT_EQ(result("inst-2").exitCode, 3);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("first")));
  submit(install("inst-3", "second"));
  EXPECT_EQ(result("inst-3").exitCode, 0);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("second")));
  const CommandResult listed = job({"outbox", "list"});
  for (const std::string id : {"req-none", "inst-1", "inst-2", "inst-3", longId.c_str()}) {
    EXPECT_NE(listed.out.find(" " + id + "\n"), std::string::npos) << id << "\n" << listed.out;
  }
  submit(buildJob("ResetZemDatabaseTaskDescription", "reset-1"));
  EXPECT_EQ(result("reset-1").exitCode, 0);
  EXPECT_FALSE(fs::exists(storedDatabase()));
  submit(buildJob("ResetZemDatabaseTaskDescription", "reset-2"));
  EXPECT_EQ(result("reset-2").exitCode, 3);
  EXPECT_TRUE(fs::is_empty(inbox()));  // every task deleted its container
  expectHealthy();
}

// The container refusals: one row per broken or hostile container and what becomes of it.
TEST_F(JobsE2ETest, BrokenContainersAreDeletedKeptOrFailTheirTaskAndNeverHurtTheHost) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  submit(install("baseline", "baseline"));
  ASSERT_EQ(result("baseline").exitCode, 0);
  const std::string stored = readFile(storedDatabase());
  const std::string request = document("RequestZemDatabaseTaskDescription", "taskId=\"broken\"");
  std::string dtd = request;
  dtd.insert(dtd.find("<k:config"), "<!DOCTYPE config [<!ENTITY boom \"boom\">]>\n");
  const auto index = [](const std::string& file) { return indexDocument({{"TASK_REQUEST", file}}); };
  // An install whose database entry is `name`, holding `content` and declaring `declared` bytes.
  const auto payload = [&](const std::string& id, const std::string& name, const std::string& content,
                           const std::string& declared = "-") {
    return std::vector<RawEntry>{
        {"index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}, {"ZEM_DATABASE", name}})},
        {"task.xml", document("InstallZemDatabaseTaskDescription", "taskId=\"" + id + "\" forceOverride=\"true\"")},
        {name, content, declared}};
  };
  const std::string bytes = readFile(buildJob("RequestZemDatabaseTaskDescription", "truncated"));
  enum Outcome { kDeleted, kKept, kTaskFails };
  struct Row {
    std::string name;
    std::vector<RawEntry> entries;  // empty: the file holds `raw` instead
    Outcome outcome;
    std::string raw;
  };
  const std::vector<Row> rows = {
      {"not-a-zip", {}, kDeleted, "this is not a zip archive\n"},
      {"truncated", {}, kDeleted, bytes.substr(0, bytes.size() / 2)},
      {"no-index", {{"task.xml", request}}, kKept, ""},
      {"unknown-type", {{"index.xml", index("t.xml")}, {"t.xml", document("FrobnicateZemTaskDescription", "")}}, kKept},
      {"dtd", {{"index.xml", index("task.xml")}, {"task.xml", dtd}}, kKept, ""},
      {"dotdot", {{"index.xml", index("../escaped.xml")}, {"../escaped.xml", request}}, kKept, ""},
      {"absolute", {{"index.xml", index(files() + "/abs.xml")}, {files() + "/abs.xml", request}}, kKept, ""},
      {"link", {{"index.xml", index("task.xml")}, {"task.xml", "/etc/hostname", "link"}}, kKept, ""},
      {"missing-entry", {{"index.xml", index("absent.xml")}, {"task.xml", request}}, kKept, ""},
      {"lower-case", {{"index.xml", indexDocument({{"task_request", "task.xml"}})}, {"task.xml", request}}, kKept, ""},
      {"bomb", payload("bomb", "database.xml", databaseDocument(std::string(200000, 'x')), "1000"), kTaskFails, ""},
      {"entity", payload("entity", "database.xml", dtd), kTaskFails, ""},
      {"payload-dotdot", payload("payload-dotdot", "../database.xml", databaseDocument("x")), kTaskFails, ""},
      {"payload-absolute", payload("payload-absolute", files() + "/db.xml", databaseDocument("x")), kTaskFails, ""},
      {"huge", payload("huge", "database.xml", databaseDocument(std::string(50 << 20, 'x'))), kTaskFails, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string built = files() + "/" + row.name + ".zip";
    if (row.entries.empty()) writeFile(built, row.raw);
    const std::string container = submit(row.entries.empty() ? built : makeRawZip(row.name + ".zip", row.entries));
    if (row.outcome == kDeleted) EXPECT_TRUE(waitUntil([&] { return !fs::exists(container); }, kJobTimeout));
    if (row.outcome == kTaskFails) {
      EXPECT_EQ(result(row.name).exitCode, 3);
      EXPECT_TRUE(waitUntil([&] { return !fs::exists(container); }, kJobTimeout));
      EXPECT_EQ(readFile(storedDatabase()), stored);
    }
    if (row.outcome == kKept) {
      barrier();
      EXPECT_TRUE(fs::exists(container));
    }
    expectHealthy();
  }
  EXPECT_EQ(job({"job", "result", "broken"}).exitCode, 2);
  for (const std::string& written : {hostTmp() + "/escaped.xml", files() + "/abs.xml", files() + "/db.xml"}) {
    EXPECT_FALSE(fs::exists(written)) << written;
  }
}

TEST_F(JobsE2ETest, SignaturesAreCheckedWhenTheSigningSlotHoldsACertificate) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  ASSERT_EQ(shell("for k in ca bad; do openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=$k -days 2 -keyout "
                  "$k-key.pem -out $k-cert.pem >/dev/null 2>&1 || exit 1; done")
                .exitCode,
            0);
  writeFile(unit("certs/Cert2_Signing_CA"), readFile(files() + "/ca-cert.pem"));
  writeFile(unit("certs/device.key"), readFile(files() + "/bad-key.pem"));  // result packages are signed too

  // A container made with `openssl` and `zip` only: signed entries, index written by hand.
  const auto opensslJob = [&](const std::string& name, const std::string& descriptionKey,
                              const std::string& payloadKey) {
    const std::string folder = files() + "/" + name;
    writeFile(folder + "/task.xml",
              document("InstallZemDatabaseTaskDescription", "taskId=\"" + name + "\" forceOverride=\"true\""));
    writeFile(folder + "/database.xml", databaseDocument(name));
    const auto sign = [&](const std::string& key, const std::string& file) {
      return shell("openssl dgst -sha256 -sign " + key + " " + folder + "/" + file + " | base64 -w0").out;
    };
    writeFile(folder + "/index.xml",
              indexDocument({{"TASK_REQUEST", "task.xml", sign(descriptionKey, "task.xml")},
                             {"ZEM_DATABASE", "database.xml", sign(payloadKey, "database.xml")}}));
    EXPECT_EQ(shell("cd " + name + " && zip -q ../" + name + ".zip index.xml task.xml database.xml").exitCode, 0);
    return folder + ".zip";
  };
  submit(opensslJob("openssl-signed", "ca-key.pem", "ca-key.pem"));
  EXPECT_EQ(result("openssl-signed").exitCode, 0);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("openssl-signed")));

  // zemctl signs the same bytes the same way (RSA PKCS#1 v1.5 signatures are deterministic).
  const std::string folder = files() + "/openssl-signed", built = files() + "/zemctl-signed.zip";
  ASSERT_EQ(job({"job", "build", "--description", folder + "/task.xml", "--payload",
                 "ZEM_DATABASE=" + folder + "/database.xml", "--key", files() + "/ca-key.pem", "-o", built})
                .exitCode,
            0);
  EXPECT_EQ(canonical(shell("unzip -p " + built + " index.xml").out), canonical(readFile(folder + "/index.xml")));

  // A description unsigned or signed by another key builds no task: the container stays. A
  // payload signed by another key fails the task, which deletes the container.
  const std::string unsignedJob = submit(buildJob("RequestZemDatabaseTaskDescription", "unsigned"));
  const std::string foreign = submit(opensslJob("foreign-description", "bad-key.pem", "ca-key.pem"));
  const std::string badPayload = submit(opensslJob("foreign-payload", "ca-key.pem", "bad-key.pem"));
  EXPECT_EQ(result("foreign-payload").exitCode, 3);
  EXPECT_FALSE(fs::exists(badPayload));
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("openssl-signed")));
  submit(buildJob("RequestZemDatabaseTaskDescription", "signed-barrier", {"--key", files() + "/ca-key.pem"}));
  EXPECT_EQ(result("signed-barrier").exitCode, 0);
  EXPECT_TRUE(fs::exists(unsignedJob));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_EQ(job({"job", "result", "unsigned"}).exitCode, 2);
  expectHealthy();
}

TEST_F(JobsE2ETest, JobAppearedAnswersAndARestartPicksUpTheInboxOnce) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  CommandResult r = busctlCall("com.olvane.Zem", "JobAppeared", {"a{sv}", "1", "jobLocation", "x", "5"});
  EXPECT_EQ(r.out, "a{sv} 1 \"status\" x 0\n") << r.err;
  const std::string elsewhere = buildJob("RequestZemDatabaseTaskDescription", "elsewhere");
  r = busctlCall("com.olvane.Zem", "JobAppeared", {"a{sv}", "1", "jobLocation", "s", elsewhere});
  EXPECT_EQ(r.out, "a{sv} 1 \"status\" x 1\n") << r.err;
  barrier();
  EXPECT_TRUE(fs::exists(elsewhere));  // outside the inbox: neither run nor deleted
  EXPECT_EQ(job({"job", "result", "elsewhere"}).exitCode, 2);

  // While the unit is down, a job and a container without index arrive in the inbox.
  ASSERT_EQ(stopHost(SIGTERM), std::optional<int>(0)) << readFile(hostStderr());
  fs::copy_file(buildJob("RequestZemDatabaseTaskDescription", "waiting"), inbox() + "/waiting.zip");
  writeFile(files() + "/plain/task.xml", document("RequestZemDatabaseTaskDescription", "taskId=\"lonely\""));
  ASSERT_EQ(shell("zip -q -j '" + inbox() + "/no-index.zip' plain/task.xml").exitCode, 0);
  ASSERT_NO_FATAL_FAILURE(startUnit());
  r = busctlCall("com.olvane.Zem", "JobAppeared", {"a{sv}", "1", "jobLocation", "s", inbox() + "/waiting.zip"});
  EXPECT_NE(result("waiting").out.find("taskId waiting\n"), std::string::npos);
  barrier();
  EXPECT_EQ(std::count_if(fs::directory_iterator(unit("data/zem_app/OUTBOX")), fs::directory_iterator(),
                          [](const fs::directory_entry& e) {
                            return e.path().filename().string().find("_waiting_") != std::string::npos;
                          }),
            1);
  EXPECT_TRUE(fs::exists(inbox() + "/no-index.zip"));
  expectHealthy();
}

TEST_F(JobsE2ETest, JobCommandsRefuseBadArgumentsAndFiles) {
  writeFile(files() + "/db.xml", databaseDocument("x"));
  writeFile(files() + "/key.pem", "not a key\n");
  const std::string out = files() + "/out.zip", type = "RequestZemDatabaseTaskDescription";
  const std::vector<std::pair<int, std::vector<std::string>>> rows = {
      {1, {"job"}},
      {1, {"job", "frobnicate"}},
      {1, {"job", "build", "-o", "x.zip"}},
      {1, {"job", "build", "--type", type, "-o", "x.zip"}},
      {1, {"job", "build", "--type", type, "--task-id", "a"}},
      {1, {"job", "build", "--description", "d.xml", "--task-id", "a", "-o", "x.zip"}},
      {1, {"job", "build", "--type", "T", "--task-id", "a", "--payload", "ZEM_DATABASE", "-o", "x.zip"}},
      {1, {"job", "submit"}},
      {1, {"job", "result"}},
      {1, {"job", "result", "a", "--wait", "soon"}},
      {1, {"outbox"}},
      {1, {"outbox", "list", "extra"}},
      {3, {"job", "build", "--type", "NoSuchTaskDescription", "--task-id", "a", "-o", out}},
      {3, {"job", "build", "--type", "PersistedDatabase", "--task-id", "a", "-o", out}},
      {3, {"job", "build", "--type", type, "--task-id", "a", "--force-override", "-o", out}},
      {3,
       {"job", "build", "--type", type, "--task-id", "a", "--payload", "zem_database=" + files() + "/db.xml", "-o",
        out}},
      {3,
       {"job", "build", "--type", type, "--task-id", "a", "--payload", "ZEM_DATABASE=" + files() + "/no.xml", "-o",
        out}},
      {3, {"job", "build", "--description", files() + "/db.xml", "-o", out}},
      {3, {"job", "build", "--type", type, "--task-id", "a", "--key", files() + "/key.pem", "-o", out}},
      {3, {"job", "build", "--type", type, "--task-id", "a", "-o", files() + "/no-such-folder/out.zip"}},
  };
  for (const auto& row : rows) {
    const CommandResult r = job(row.second);
    EXPECT_EQ(r.exitCode, row.first) << row.second.back() << ": " << r.err;
  }
  EXPECT_FALSE(fs::exists(out));

  // No unit: the inbox is missing, and no package can come.
  const std::string container = buildJob(type, "lonely");
  CommandResult r = job({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  r = job({"job", "result", "lonely", "--wait", "0.2"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no result package of task lonely"), std::string::npos) << r.err;
  // An inbox without a running application: the container waits there; a second one of the same
  // name never replaces it.
  fs::create_directories(inbox());
  r = job({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("is not running"), std::string::npos) << r.err;
  job({"job", "submit", container});
  EXPECT_EQ(std::distance(fs::directory_iterator(inbox()), fs::directory_iterator()), 2);
}

}  // namespace
