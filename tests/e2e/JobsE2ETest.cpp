// Jobs through a real zem-host on a seeded temporary sysroot, driven with "zemctl job ...": the
// database tasks, every container outcome (deleted, kept in the inbox, failed task), signature
// checks with a certificate in the signing slot, the "JobAppeared" answers, and a restart that
// picks up what waits in the inbox. Containers come from zemctl, from the `zip` and `openssl`
// commands, and from python's zipfile for hostile names and lying sizes. After each scenario
// zem-host still answers Ping with 2 and its private TMPDIR holds no temporary folder.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "ZemHostFixture.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace {

namespace fs = std::filesystem;
namespace Types = Sarnet_Configuration::Types;

constexpr auto kJobTimeout = std::chrono::seconds(30);
const char* const kWaitSeconds = "30";

const char* const kWrapperStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">";

std::string document(const std::string& type, const std::string& attributes, const std::string& body) {
  return std::string(kWrapperStart) + "<k:content xsi:type=\"k:" + type + "\"" +
         (attributes.empty() ? "" : " " + attributes) + ">" + body + "</k:content></k:config>\n";
}

std::string databaseDocument(const std::string& value) {
  return document("PersistedDatabase", "",
                  "<k:data><k:entry><k:key>Job</k:key><k:value xsi:type=\"k:PersistedMapValue\"><k:entry>"
                  "<k:key>Value</k:key><k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>" +
                      value + "</k:stringValue></k:value></k:entry></k:value></k:entry></k:data>");
}

std::string indexDocument(const std::vector<std::vector<std::string>>& entries) {
  std::string body;
  for (const auto& entry : entries) {
    body += "<k:taskIndexEntry><k:type>" + entry.at(0) + "</k:type><k:file>" + entry.at(1) + "</k:file>";
    if (entry.size() > 2) body += "<k:signature>" + entry[2] + "</k:signature>";
    body += "</k:taskIndexEntry>";
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

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Writes a zip with python's zipfile, each entry as given (any name; "link" stores it as a
// symbolic link to its content), then overwrites the declared uncompressed size of the entries
// that have one in both of their headers.
const char* const kRawZipScript =
    "import struct, sys, zipfile\n"
    "target, manifest = sys.argv[1], sys.argv[2]\n"
    "entries = [line.split('\\t') for line in open(manifest, encoding='utf-8').read().splitlines()]\n"
    "with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:\n"
    "    for name, source, declared in entries:\n"
    "        info = zipfile.ZipInfo(name)\n"
    "        if declared == 'link':\n"
    "            info.create_system = 3\n"
    "            info.external_attr = 0o120777 << 16\n"
    "        z.writestr(info, open(source, 'rb').read(), compress_type=zipfile.ZIP_DEFLATED)\n"
    "data = bytearray(open(target, 'rb').read())\n"
    "with zipfile.ZipFile(target) as z:\n"
    "    offsets = {i.filename: i.header_offset for i in z.infolist()}\n"
    "for name, source, declared in entries:\n"
    "    if declared in ('-', 'link'):\n"
    "        continue\n"
    "    struct.pack_into('<I', data, offsets[name] + 22, int(declared))\n"
    "    pos = data.find(b'PK\\x01\\x02')\n"
    "    while pos >= 0:\n"
    "        length = struct.unpack_from('<H', data, pos + 28)[0]\n"
    "        if data[pos + 46:pos + 46 + length].decode('utf-8') == name:\n"
    "            struct.pack_into('<I', data, pos + 24, int(declared))\n"
    "        pos = data.find(b'PK\\x01\\x02', pos + 4)\n"
    "open(target, 'wb').write(data)\n";

struct RawEntry {
  std::string name;
  std::string content;
  long declaredSize = -1;  // >= 0: the size both headers claim instead of the real one
  bool symlink = false;    // a symbolic link whose target is `content`
};

class JobsE2ETest : public ZemHostFixture {
 protected:
  std::string unit(const std::string& relative) const { return sysroot() + "/media/olvane/" + relative; }
  std::string inbox() const { return unit("data/zem_app/INBOX"); }
  std::string outbox() const { return unit("data/zem_app/OUTBOX"); }
  std::string storedDatabase() const { return unit("data/zem_app/STORE/database.xml"); }
  std::string files() const { return workFolder() + "/files"; }
  std::string hostTmp() const { return workFolder() + "/host-tmp"; }

  // Starts zem-host with its own TMPDIR and waits until it is ready.
  void startUnit() {
    fs::create_directories(hostTmp());
    startHost({}, {{"TMPDIR", hostTmp()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }

  // zemctl on this unit (ZEM_SYSROOT set).
  CommandResult job(const std::vector<std::string>& args) { return zemctl(args, {{"ZEM_SYSROOT", sysroot()}}); }

  // Builds a container of a generated description with zemctl; returns its path.
  std::string buildJob(const std::string& type, const std::string& taskId, std::vector<std::string> extra = {}) {
    std::string out = files() + "/" + taskId + ".zip";
    fs::create_directories(files());
    std::vector<std::string> args{"job", "build", "--type", type, "--task-id", taskId, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    const CommandResult r = job(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  // Submits `container` and expects the announcement to be taken; returns the path in the inbox.
  std::string submit(const std::string& container) {
    const CommandResult r = job({"job", "submit", container});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nstatus 1\n"), std::string::npos) << r.out;
    const auto start = r.out.find("submitted ");
    const auto end = r.out.find('\n');
    return start == 0 && end != std::string::npos ? r.out.substr(10, end - 10) : std::string();
  }

  CommandResult result(const std::string& taskId) { return job({"job", "result", taskId, "--wait", kWaitSeconds}); }

  // A request job that must come back: every container announced before it has been handled,
  // since the container step runs first and in order on the single task worker.
  void barrier(const std::string& taskId) {
    submit(buildJob("RequestZemDatabaseTaskDescription", taskId));
    const CommandResult r = result(taskId);
    EXPECT_NE(r.exitCode, 2) << "zem-host stopped serving jobs: " << r.err;
  }

  std::string makeRawZip(const std::string& name, const std::vector<RawEntry>& entries) {
    const std::string script = workFolder() + "/raw_zip.py";
    if (!fs::exists(script)) writeFile(script, kRawZipScript);
    const std::string staging = files() + "/raw-" + name;
    fs::create_directories(staging);
    std::string manifest;
    int number = 0;
    for (const RawEntry& entry : entries) {
      const std::string source = staging + "/" + std::to_string(number++);
      writeFile(source, entry.content);
      manifest += entry.name + "\t" + source + "\t" +
                  (entry.symlink            ? std::string("link")
                   : entry.declaredSize < 0 ? std::string("-")
                                            : std::to_string(entry.declaredSize)) +
                  "\n";
    }
    writeFile(staging + "/manifest", manifest);
    std::string out = files() + "/" + name;
    const CommandResult r = runCommand({"python3", script, out, staging + "/manifest"}, {}, workFolder());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  // Runs a shell command line in the files folder; returns its exit code and output.
  CommandResult shell(const std::string& line) {
    fs::create_directories(files());
    return runCommand({"bash", "-c", "cd " + shellQuote(files()) + " && " + line}, {}, workFolder());
  }

  std::string unzipEntry(const std::string& zip, const std::string& entry) {
    return shell("unzip -p " + shellQuote(zip) + " " + shellQuote(entry)).out;
  }

  // The package path that "job result" printed.
  static std::string packageOf(const CommandResult& r) {
    const auto start = r.out.find("package ");
    const auto end = r.out.find('\n', start);
    return start == std::string::npos ? std::string() : r.out.substr(start + 8, end - start - 8);
  }

  std::vector<std::string> inboxNames() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(inbox())) names.push_back(item.path().filename().string());
    return names;
  }

  // Ping still answers 2 and zem-host's TMPDIR is (or soon becomes) empty.
  void expectHealthy() {
    EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
    const bool clean = waitUntil([&] { return fs::is_empty(hostTmp()); }, std::chrono::seconds(10));
    std::string left;
    for (const auto& item : fs::directory_iterator(hostTmp())) left += item.path().filename().string() + " ";
    EXPECT_TRUE(clean) << "temporary entries left by zem-host: " << left;
  }
};

TEST_F(JobsE2ETest, DatabaseIsInstalledRequestedOverriddenAndResetByJobs) {
  // Without a factory default the store holds no file until a job installs one.
  fs::remove(unit("configs/zem_app/database.xml"));
  ASSERT_NO_FATAL_FAILURE(startUnit());
  ASSERT_FALSE(fs::exists(storedDatabase()));

  submit(buildJob("RequestZemDatabaseTaskDescription", "req-none"));
  CommandResult r = result("req-none");
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.out.find("taskId req-none\nresult RequestZemDatabaseTaskResult\nsuccess false\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("entry TASK_RESULT result.xml "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("database.xml"), std::string::npos) << r.out;

  const std::string first = databaseDocument("first");
  writeFile(files() + "/one/database.xml", first);
  submit(buildJob("InstallZemDatabaseTaskDescription", "inst-1",
                  {"--payload", "ZEM_DATABASE=" + files() + "/one/database.xml"}));
  r = result("inst-1");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("result InstallZemDatabaseTaskResult\nsuccess true\nerrorType 0\nerrorMessage\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(first));

  submit(buildJob("RequestZemDatabaseTaskDescription", "req-1"));
  r = result("req-1");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("entry ZEM_DATABASE database.xml "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("entry VEHICLE_DATA MetaData.xml "), std::string::npos) << r.out;
  EXPECT_EQ(canonical(unzipEntry(packageOf(r), "database.xml")), canonical(first));

  // A second install without forceOverride fails and leaves the first database in place.
  const std::string second = databaseDocument("second");
  writeFile(files() + "/two/database.xml", second);
  submit(buildJob("InstallZemDatabaseTaskDescription", "inst-2",
                  {"--payload", "ZEM_DATABASE=" + files() + "/two/database.xml"}));
  r = result("inst-2");
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.out.find("success false\n"), std::string::npos) << r.out;
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(first));

  submit(buildJob("InstallZemDatabaseTaskDescription", "inst-3",
                  {"--force-override", "--payload", "ZEM_DATABASE=" + files() + "/two/database.xml"}));
  EXPECT_EQ(result("inst-3").exitCode, 0);
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(second));

  const CommandResult listed = job({"outbox", "list"});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  for (const char* id : {"req-none", "inst-1", "req-1", "inst-2", "inst-3"}) {
    EXPECT_NE(listed.out.find(std::string(" ") + id + "\n"), std::string::npos) << id << "\n" << listed.out;
  }

  submit(buildJob("ResetZemDatabaseTaskDescription", "reset-1"));
  EXPECT_EQ(result("reset-1").exitCode, 0);
  EXPECT_FALSE(fs::exists(storedDatabase()));
  submit(buildJob("ResetZemDatabaseTaskDescription", "reset-2"));
  EXPECT_EQ(result("reset-2").exitCode, 3);
  submit(buildJob("RequestZemDatabaseTaskDescription", "req-2"));
  EXPECT_EQ(result("req-2").exitCode, 3);

  // Every task deleted its container.
  EXPECT_TRUE(inboxNames().empty());
  expectHealthy();
}

TEST_F(JobsE2ETest, BrokenContainersAreDeletedOrKeptAndNeverHurtTheHost) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  writeFile(files() + "/baseline/database.xml", databaseDocument("baseline"));
  submit(buildJob("InstallZemDatabaseTaskDescription", "baseline",
                  {"--force-override", "--payload", "ZEM_DATABASE=" + files() + "/baseline/database.xml"}));
  ASSERT_EQ(result("baseline").exitCode, 0);
  const std::string stored = readFile(storedDatabase());
  ASSERT_NE(stored, "");
  const std::string request = document("RequestZemDatabaseTaskDescription", "taskId=\"broken\"", "");

  // Not a zip, and a truncated zip: refused while opening and deleted.
  writeFile(files() + "/not-a-zip.zip", "this is not a zip archive\n");
  const std::string notZip = submit(files() + "/not-a-zip.zip");
  const std::string whole = buildJob("RequestZemDatabaseTaskDescription", "truncated");
  const std::string wholeBytes = readFile(whole);
  writeFile(files() + "/truncated.zip", wholeBytes.substr(0, wholeBytes.size() / 2));
  const std::string truncated = submit(files() + "/truncated.zip");
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(notZip) && !fs::exists(truncated); }, kJobTimeout));

  // No index, an unknown description type, a description with a DTD, a description behind ".."
  // or an absolute name: no task is built and the container stays for a later attempt.
  writeFile(files() + "/plain/task.xml", request);
  ASSERT_EQ(shell("zip -q -j no-index.zip plain/task.xml").exitCode, 0);
  const std::string noIndex = submit(files() + "/no-index.zip");
  writeFile(files() + "/unknown/task.xml", document("FrobnicateZemTaskDescription", "taskId=\"unknown\"", ""));
  writeFile(files() + "/unknown/index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}}));
  ASSERT_EQ(shell("zip -q -j unknown-type.zip unknown/index.xml unknown/task.xml").exitCode, 0);
  const std::string unknownType = submit(files() + "/unknown-type.zip");
  std::string dtd = request;
  dtd.insert(dtd.find("<k:config"), "<!DOCTYPE config [<!ENTITY boom \"boom\">]>\n");
  const std::string withDtd =
      submit(makeRawZip("dtd.zip", {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}})}, {"task.xml", dtd}}));
  const std::string escapeName = "../escaped-task.xml";
  const std::string absoluteName = files() + "/absolute-task.xml";
  const std::string dotDot = submit(
      makeRawZip("dotdot.zip", {{"index.xml", indexDocument({{"TASK_REQUEST", escapeName}})}, {escapeName, request}}));
  const std::string absolute = submit(makeRawZip(
      "absolute.zip", {{"index.xml", indexDocument({{"TASK_REQUEST", absoluteName}})}, {absoluteName, request}}));
  const std::string link = submit(makeRawZip("link.zip", {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}})},
                                                          {"task.xml", "/etc/hostname", -1, true}}));
  // An index naming a missing entry, and one whose entry type is spelled in lower case.
  const std::string missingEntry = submit(makeRawZip(
      "missing-entry.zip", {{"index.xml", indexDocument({{"TASK_REQUEST", "absent.xml"}})}, {"task.xml", request}}));
  const std::string lowerCase = submit(makeRawZip(
      "lower-case.zip", {{"index.xml", indexDocument({{"task_request", "task.xml"}})}, {"task.xml", request}}));

  // Payloads that cannot be read fail the install task; the container is deleted, the store kept.
  auto install = [&](const std::string& name, const std::string& entryName, const std::string& content,
                     long declaredSize) {
    return submit(makeRawZip(name + ".zip",
                             {{"index.xml", indexDocument({{"TASK_REQUEST", "task.xml"}, {"ZEM_DATABASE", entryName}})},
                              {"task.xml", document("InstallZemDatabaseTaskDescription",
                                                    "taskId=\"" + name + "\" forceOverride=\"true\"", "")},
                              {entryName, content, declaredSize}}));
  };
  const std::string big = databaseDocument(std::string(200000, 'x'));
  const std::vector<std::string> failing = {
      install("bomb", "database.xml", big, 1000),  // expands past its declared size
      install("entity", "database.xml",
              "<?xml version=\"1.0\"?>\n<!DOCTYPE config [<!ENTITY e \"x\">]>\n" +
                  databaseDocument("&e;").substr(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n").size()),
              -1),
      install("payload-dotdot", "../database.xml", databaseDocument("escaped"), -1),
      install("payload-absolute", files() + "/database.xml", databaseDocument("escaped"), -1),
      install("huge", "database.xml", databaseDocument(std::string(50 * 1024 * 1024, 'x')), -1)};
  for (const char* id : {"bomb", "entity", "payload-dotdot", "payload-absolute", "huge"}) {
    const CommandResult r = result(id);
    EXPECT_EQ(r.exitCode, 3) << id << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("success false\n"), std::string::npos) << id << ": " << r.out;
  }
  for (const std::string& container : failing) EXPECT_FALSE(fs::exists(container)) << container;
  EXPECT_EQ(readFile(storedDatabase()), stored);

  barrier("after-broken");
  for (const std::string& kept : {noIndex, unknownType, withDtd, dotDot, absolute, link, missingEntry, lowerCase}) {
    EXPECT_TRUE(fs::exists(kept)) << kept;
  }
  for (const char* id : {"broken", "unknown"}) EXPECT_EQ(job({"job", "result", id}).exitCode, 2) << id;
  // Nothing was written outside an extraction folder.
  EXPECT_FALSE(fs::exists(hostTmp() + "/escaped-task.xml"));
  EXPECT_FALSE(fs::exists(absoluteName));
  EXPECT_FALSE(fs::exists(files() + "/database.xml"));
  EXPECT_FALSE(fs::exists(hostTmp() + "/database.xml"));
  expectHealthy();
}

TEST_F(JobsE2ETest, SignaturesAreCheckedWhenTheSigningSlotHoldsACertificate) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=ZemSigningCA -days 2 -keyout ca-key.pem "
                  "-out ca-cert.pem >/dev/null 2>&1 && "
                  "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Intruder -days 2 -keyout bad-key.pem "
                  "-out bad-cert.pem >/dev/null 2>&1")
                .exitCode,
            0);
  writeFile(unit("certs/Cert2_Signing_CA"), readFile(files() + "/ca-cert.pem"));
  // With a device key the entries of every result package are signed; zemctl reads them alike.
  writeFile(unit("certs/device.key"), readFile(files() + "/bad-key.pem"));

  // A container made with `openssl` and `zip` only: signed entries, index written by hand.
  auto opensslJob = [&](const std::string& name, const std::string& descriptionKey, const std::string& payloadKey) {
    const std::string folder = files() + "/" + name;
    writeFile(folder + "/task.xml",
              document("InstallZemDatabaseTaskDescription", "taskId=\"" + name + "\" forceOverride=\"true\"", ""));
    writeFile(folder + "/database.xml", databaseDocument(name));
    auto sign = [&](const std::string& key, const std::string& file) {
      return shell("openssl dgst -sha256 -sign " + key + " " + shellQuote(folder + "/" + file) + " | base64 -w0").out;
    };
    writeFile(folder + "/index.xml",
              indexDocument({{"TASK_REQUEST", "task.xml", sign(descriptionKey, "task.xml")},
                             {"ZEM_DATABASE", "database.xml", sign(payloadKey, "database.xml")}}));
    EXPECT_EQ(shell("cd " + name + " && zip -q ../" + name + ".zip index.xml task.xml database.xml").exitCode, 0);
    return files() + "/" + name + ".zip";
  };

  submit(opensslJob("openssl-signed", "ca-key.pem", "ca-key.pem"));
  CommandResult r = result("openssl-signed");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("openssl-signed")));

  // zemctl signs the same bytes the same way (RSA PKCS#1 v1.5 signatures are deterministic).
  const std::string folder = files() + "/openssl-signed";
  const std::string built = files() + "/zemctl-signed.zip";
  r = job({"job", "build", "--description", folder + "/task.xml", "--payload",
           "ZEM_DATABASE=" + folder + "/database.xml", "--key", files() + "/ca-key.pem", "-o", built});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto builtIndex = xmldoc::parseString<Types::TaskIndex>(unzipEntry(built, "index.xml"));
  const auto handIndex = xmldoc::parseString<Types::TaskIndex>(readFile(folder + "/index.xml"));
  ASSERT_EQ(builtIndex->elements_taskIndexEntry().size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const auto& a = *builtIndex->elements_taskIndexEntry()[i];
    const auto& b = *handIndex->elements_taskIndexEntry()[i];
    EXPECT_EQ(a.get_type(), b.get_type());
    EXPECT_EQ(a.get_file(), b.get_file());
    EXPECT_EQ(a.get_signature(), b.get_signature()) << a.get_file();
  }
  fs::remove(storedDatabase());
  submit(built);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(inbox() + "/zemctl-signed.zip"); }, kJobTimeout));
  EXPECT_EQ(canonical(readFile(storedDatabase())), canonical(databaseDocument("openssl-signed")));

  // A description that is unsigned or signed by another key builds no task: the container stays.
  const std::string unsignedJob = submit(buildJob("RequestZemDatabaseTaskDescription", "unsigned"));
  const std::string foreign = submit(opensslJob("foreign-description", "bad-key.pem", "ca-key.pem"));
  // A payload signed by another key fails the task, which deletes the container.
  const std::string stored = readFile(storedDatabase());
  const std::string badPayload = submit(opensslJob("foreign-payload", "ca-key.pem", "bad-key.pem"));
  r = result("foreign-payload");
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_FALSE(fs::exists(badPayload));
  EXPECT_EQ(readFile(storedDatabase()), stored);

  submit(buildJob("RequestZemDatabaseTaskDescription", "signed-barrier", {"--key", files() + "/ca-key.pem"}));
  EXPECT_EQ(result("signed-barrier").exitCode, 0);
  EXPECT_TRUE(fs::exists(unsignedJob));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_EQ(job({"job", "result", "unsigned"}).exitCode, 2);
  EXPECT_EQ(job({"job", "result", "foreign-description"}).exitCode, 2);
  // A signature file beside a package is not a package.
  size_t packages = 0;
  for (const auto& item : fs::directory_iterator(outbox())) {
    const std::string name = item.path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0) {
      ++packages;
      writeFile(item.path().string() + ".sig", "c2lnbmF0dXJl\n");
    }
  }
  const CommandResult listed = job({"outbox", "list"});
  EXPECT_EQ(static_cast<size_t>(std::count(listed.out.begin(), listed.out.end(), '\n')), packages) << listed.out;
  EXPECT_EQ(listed.out.find(".sig"), std::string::npos) << listed.out;
  expectHealthy();
}

TEST_F(JobsE2ETest, JobAppearedAnswersAndARestartPicksUpTheInbox) {
  ASSERT_NO_FATAL_FAILURE(startUnit());

  CommandResult r = busctlCall("com.olvane.Zem", "JobAppeared", {"a{sv}", "1", "jobLocation", "x", "5"});
  EXPECT_EQ(r.out, "a{sv} 1 \"status\" x 0\n") << r.err;
  const std::string missing = sysroot() + "/no-such-folder/job.zip";
  r = busctlCall("com.olvane.Zem", "JobAppeared", {"a{sv}", "1", "jobLocation", "s", missing});
  EXPECT_EQ(r.out, "a{sv} 1 \"status\" x 1\n") << r.err;
  barrier("after-missing");
  const std::string log = readFile(hostStderr());
  EXPECT_NE(log.find("The containing folder for the incoming package at " + missing + " does not exist."),
            std::string::npos);
  EXPECT_EQ(log.find("New job enqueued: " + missing), std::string::npos);

  // While the unit is down, a job and a container without index arrive in the inbox.
  ASSERT_EQ(stopHost(SIGTERM), std::optional<int>(0)) << readFile(hostStderr());
  fs::copy_file(buildJob("RequestZemDatabaseTaskDescription", "waiting"), inbox() + "/waiting.zip");
  writeFile(files() + "/plain/task.xml", document("RequestZemDatabaseTaskDescription", "taskId=\"lonely\"", ""));
  ASSERT_EQ(shell("zip -q -j " + shellQuote(inbox() + "/no-index.zip") + " plain/task.xml").exitCode, 0);

  ASSERT_NO_FATAL_FAILURE(startUnit());
  r = result("waiting");
  EXPECT_NE(r.exitCode, 2) << r.err;
  EXPECT_NE(r.out.find("taskId waiting\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(inbox() + "/waiting.zip"));
  barrier("after-restart");
  EXPECT_TRUE(fs::exists(inbox() + "/no-index.zip"));
  expectHealthy();
}

TEST_F(JobsE2ETest, JobCommandsRefuseBadArgumentsAndFiles) {
  fs::create_directories(files());
  writeFile(files() + "/db.xml", databaseDocument("x"));
  writeFile(files() + "/not-a-description.xml", databaseDocument("x"));
  writeFile(files() + "/key.pem", "not a key\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"job"},
           {"job", "frobnicate"},
           {"job", "build", "-o", "x.zip"},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "-o", "x.zip"},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a"},
           {"job", "build", "--description", "d.xml", "--task-id", "a", "-o", "x.zip"},
           {"job", "build", "--type", "T", "--task-id", "a", "--payload", "ZEM_DATABASE", "-o", "x.zip"},
           {"job", "submit"},
           {"job", "result"},
           {"job", "result", "a", "--wait", "soon"},
           {"outbox"},
           {"outbox", "list", "extra"}}) {
    const CommandResult r = job(args);
    EXPECT_EQ(r.exitCode, 1) << args.back() << ": " << r.err;
  }
  const std::string out = files() + "/out.zip";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"job", "build", "--type", "NoSuchTaskDescription", "--task-id", "a", "-o", out},
           {"job", "build", "--type", "PersistedDatabase", "--task-id", "a", "-o", out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "--force-override", "-o",
            out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "--payload",
            "zem_database=" + files() + "/db.xml", "-o", out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "--payload",
            "ZEM_DATABASE=" + files() + "/missing.xml", "-o", out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "--payload",
            "ZEM_DATABASE=" + files() + "/db.xml", "--payload", "DATA_FILE=" + files() + "/db.xml", "-o", out},
           {"job", "build", "--description", files() + "/not-a-description.xml", "-o", out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "--key",
            files() + "/key.pem", "-o", out},
           {"job", "build", "--type", "RequestZemDatabaseTaskDescription", "--task-id", "a", "-o",
            files() + "/no-such-folder/out.zip"}}) {
    const CommandResult r = job(args);
    EXPECT_EQ(r.exitCode, 3) << args[3] << ": " << r.out;
    EXPECT_NE(r.err.find("zemctl: job build: "), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(out));

  // No unit: the inbox is missing, and no package can come.
  const std::string container = buildJob("RequestZemDatabaseTaskDescription", "lonely");
  CommandResult r = job({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  r = job({"job", "result", "lonely", "--wait", "0.2"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no result package of task lonely"), std::string::npos) << r.err;
  // An inbox without a running application: the container waits there, zemctl says so.
  fs::create_directories(inbox());
  r = job({"job", "submit", container});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("is not running"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(inbox() + "/lonely.zip"));
  // A second submission of the same name never replaces the waiting one.
  r = job({"job", "submit", container});
  EXPECT_TRUE(fs::exists(inbox() + "/lonely-1.zip")) << r.out;
  EXPECT_EQ(job({"outbox", "list"}).out, "");
}

}  // namespace
